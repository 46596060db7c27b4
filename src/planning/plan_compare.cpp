#include "planning/plan_compare.h"

#include <vector>

#include "catalog/image_identity.h"
#include "planning/document_texts.h"

namespace {

// One compared value: Raw decides, Shown is what the operator reads.
struct Field {
    std::string Key; // where it stands, so that lists of different shapes line up
    std::string Adapter, Name, Raw, Shown;
};

// Texts are shown quoted; one that is not plain UTF-8 also by its bytes,
// since its readable form may look like another's.
std::string ShownText(const std::string& bytes)
{
    bool plain = IsValidUtf8(bytes);
    for (char c : bytes)
        plain = plain && static_cast<unsigned char>(c) >= 0x20 && c != 0x7F;
    if (plain)
        return "'" + bytes + "'";
    std::string readable = ReadableText(bytes);
    for (char& c : readable)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    return "'" + readable + "' (bytes " + HexText(bytes) + ")";
}

std::string ShownVersion(const std::optional<FirmwareVersion>& version)
{
    return version ? VersionText(*version) : "none";
}

struct FieldList {
    std::vector<Field> Fields;
    std::string Adapter, Prefix;

    void Add(const std::string& name, const std::string& raw, const std::string& shown)
    {
        Fields.push_back({Prefix + name, Adapter, name, raw, shown});
    }
    void Add(const std::string& name, const std::string& shown) { Add(name, shown, shown); }
    void AddText(const std::string& name, const std::string& bytes) { Add(name, bytes, ShownText(bytes)); }
};

void AddWrite(FieldList& list, const std::string& at, const PlannedWrite& write)
{
    const ImageIdentity& id = write.Identity;
    list.Add(at + "kind", KindKey(write.Kind));
    list.AddText(at + "image", write.Image);
    list.Add(at + "size", id.Known ? std::to_string(id.Size) : "unknown");
    list.Add(at + "sha256", id.Known ? Sha256Hex(id) : "unknown");
    list.Add(at + "from", VersionText(write.From));
    list.Add(at + "to", ShownVersion(write.To));
    list.AddText(at + "backup", write.Backup);
    list.Add(at + "forced", write.Forced ? "true" : "false");
}

void AddAdapter(FieldList& list, const AdapterPlan& adapter)
{
    list.Adapter = "adapter " + std::to_string(adapter.Index) + " (MAC " + ShownText(adapter.Mac) + ")";
    list.Prefix = "adapters[" + std::to_string(adapter.Index) + "].";
    list.AddText("mac", adapter.Mac);
    list.Add("pci_id", adapter.PciId);
    list.AddText("name", adapter.Name);
    list.AddText("interface", adapter.Interface);
    list.Add("installed.boot_code", ShownVersion(adapter.BootCode));
    list.Add("installed.pxe", ShownVersion(adapter.Pxe));
    list.Add("installed.clp", ShownVersion(adapter.Clp));
    list.Add("installed.iscsi", ShownVersion(adapter.Iscsi));
    for (size_t i = 0; i < adapter.Writes.size(); ++i)
        AddWrite(list, "writes[" + std::to_string(i) + "].", adapter.Writes[i]);
    list.Add("writes", std::to_string(adapter.Writes.size()));
}

std::vector<Field> FieldsOf(const Plan& plan)
{
    FieldList list;
    list.Add("run", plan.Force ? "tidemark -s -F" : "tidemark -s");
    list.Add("library", VersionText(plan.Library));
    for (const AdapterPlan& adapter : plan.Adapters)
        AddAdapter(list, adapter);
    list.Adapter.clear();
    list.Prefix.clear();
    list.Add("adapters", std::to_string(plan.Adapters.size()));
    return list.Fields;
}

// Where the lists stop lining up, one has more writes or adapters: the count
// that says so comes later in the other list.
const Field& CountAfter(const std::vector<Field>& fields, size_t from, const std::string& name,
                        const std::string& adapter)
{
    for (size_t i = from; i < fields.size(); ++i)
        if (fields[i].Name == name && fields[i].Adapter == adapter)
            return fields[i];
    return fields.back();
}

} // namespace

std::optional<PlanDifference> FirstDifference(const Plan& saved, const Plan& current)
{
    const std::vector<Field> a = FieldsOf(saved), b = FieldsOf(current);
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
        if (a[i].Key == b[i].Key) {
            if (a[i].Raw != b[i].Raw)
                return PlanDifference{a[i].Adapter, a[i].Name, a[i].Shown, b[i].Shown};
            continue;
        }
        // One adapter has more writes, or one plan more adapters.
        const bool adapterLevel =
            a[i].Adapter.empty() || b[i].Adapter.empty() || a[i].Adapter != b[i].Adapter;
        const std::string count = adapterLevel ? "adapters" : "writes";
        const std::string adapter = adapterLevel ? "" : a[i].Adapter;
        return PlanDifference{adapter, count, CountAfter(a, i, count, adapter).Shown,
                              CountAfter(b, i, count, adapter).Shown};
    }
    return std::nullopt;
}

std::string DescribeDifference(const PlanDifference& difference)
{
    return (difference.Adapter.empty() ? "" : difference.Adapter + ": ") + difference.Field + " is " +
           difference.Saved + " in the plan and " + difference.Current + " now";
}
