// Reading a saved plan document back into the Plan record. The document may
// have been edited, cut short or written by someone else: everything is
// checked, and the first problem is named with its key.
#include <charconv>
#include <cstring>
#include <limits>
#include <map>
#include <utility>

#include "catalog/image_kinds.h"
#include "planning/document_texts.h"
#include "planning/plan_document.h"
#include "upgrade/update.h"

namespace {

using Json = SortedJson;

// The first problem found, at its key path ("adapters[1].writes[0].image").
struct Reader {
    std::string Reason;

    bool Fail(const std::string& path, const std::string& problem)
    {
        if (Reason.empty())
            Reason = path.empty() ? problem : path + ": " + problem;
        return false;
    }
};

std::string Join(const std::string& path, const std::string& key)
{
    return path.empty() ? key : path + "." + key;
}
std::string At(const std::string& path, size_t index) { return path + "[" + std::to_string(index) + "]"; }

const Json* Member(const Json& object, const std::string& key)
{
    const auto found = object.find(key);
    return found == object.end() ? nullptr : &*found;
}

const Json* Required(Reader& r, const Json& object, const std::string& path, const std::string& key)
{
    const Json* value = Member(object, key);
    if (value == nullptr)
        r.Fail(Join(path, key), "missing");
    return value;
}

const Json* RequiredOf(Reader& r, const Json& object, const std::string& path, const std::string& key,
                       Json::value_t type, const char* what)
{
    const Json* value = Required(r, object, path, key);
    if (value != nullptr && value->type() != type) {
        r.Fail(Join(path, key), std::string("not ") + what);
        return nullptr;
    }
    return value;
}

bool ReadString(Reader& r, const Json& object, const std::string& path, const std::string& key,
                std::string& out)
{
    const Json* value = RequiredOf(r, object, path, key, Json::value_t::string, "a text");
    if (value != nullptr)
        out = value->get_ref<const std::string&>();
    return value != nullptr;
}

bool ReadBool(Reader& r, const Json& object, const std::string& path, const std::string& key, bool& out)
{
    const Json* value = RequiredOf(r, object, path, key, Json::value_t::boolean, "true or false");
    if (value != nullptr)
        out = value->get<bool>();
    return value != nullptr;
}

bool ReadCount(Reader& r, const Json& object, const std::string& path, const std::string& key,
               uint64_t maximum, uint64_t& out)
{
    const Json* value = Required(r, object, path, key);
    if (value == nullptr)
        return false;
    if (!value->is_number_unsigned() || value->get<uint64_t>() > maximum)
        return r.Fail(Join(path, key), "not a whole number from 0 to " + std::to_string(maximum));
    out = value->get<uint64_t>();
    return true;
}

// Texts reach a command line, a file name or a terminal.
bool CheckPlain(Reader& r, const std::string& path, const std::string& bytes)
{
    for (char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == 0)
            return r.Fail(path, "holds a NUL");
        if (byte < 0x20 || byte == 0x7F)
            return r.Fail(path, "holds a control character");
    }
    return true;
}

// A text's bytes: its faithful form when one stands beside it, which must
// then be needed and agree with the readable one.
bool TakeBytes(Reader& r, const std::string& path, const std::string& readable, const Json* hex,
               const std::string& hexPath, std::string& bytes)
{
    if (hex == nullptr) {
        bytes = readable;
        return CheckPlain(r, path, bytes);
    }
    if (!hex->is_string() || !BytesFromHex(hex->get_ref<const std::string&>(), bytes))
        return r.Fail(hexPath, "not pairs of lowercase hexadecimal digits");
    if (IsValidUtf8(bytes))
        return r.Fail(hexPath, "given for a text that is UTF-8");
    if (ReadableText(bytes) != readable)
        return r.Fail(path, "does not match its bytes in " + hexPath);
    return CheckPlain(r, path, bytes);
}

bool ReadText(Reader& r, const Json& object, const std::string& path, const std::string& key,
              std::string& bytes)
{
    std::string readable;
    if (!ReadString(r, object, path, key, readable))
        return false;
    return TakeBytes(r, Join(path, key), readable, Member(object, key + "_hex"), Join(path, key + "_hex"),
                     bytes);
}

// Versions are written M.m.b, each part in decimal without leading zeros.
bool ParseVersion(const std::string& text, FirmwareVersion& version)
{
    const char* at = text.data();
    const char* end = text.data() + text.size();
    uint32_t* parts[] = {&version.Major, &version.Minor, &version.Build};
    for (size_t i = 0; i < 3; ++i) {
        if (i > 0 && (at == end || *at++ != '.'))
            return false;
        const auto [next, error] = std::from_chars(at, end, *parts[i]);
        if (error != std::errc())
            return false;
        at = next;
    }
    return at == end && VersionText(version) == text;
}

// A version, or null where nullable: an image that is not there.
bool ReadVersionOrNull(Reader& r, const Json& object, const std::string& path, const std::string& key,
                       bool nullable, std::optional<FirmwareVersion>& out)
{
    const Json* value = Required(r, object, path, key);
    if (value == nullptr)
        return false;
    out.reset();
    if (nullable && value->is_null())
        return true;
    FirmwareVersion version{};
    if (!value->is_string() || !ParseVersion(value->get_ref<const std::string&>(), version))
        return r.Fail(Join(path, key), nullable ? "not a version M.m.b or null" : "not a version M.m.b");
    out = version;
    return true;
}

bool ReadOptionalVersion(Reader& r, const Json& object, const std::string& path, const std::string& key,
                         std::optional<FirmwareVersion>& out)
{
    return ReadVersionOrNull(r, object, path, key, true, out);
}

bool ReadVersion(Reader& r, const Json& object, const std::string& path, const std::string& key,
                 FirmwareVersion& out)
{
    std::optional<FirmwareVersion> version;
    if (!ReadVersionOrNull(r, object, path, key, false, version))
        return false;
    out = *version;
    return true;
}

bool KindFromKey(const std::string& key, ImageKind& kind)
{
    for (ImageKind candidate : UpdateOrder) {
        if (key == KindKey(candidate)) {
            kind = candidate;
            return true;
        }
    }
    return false;
}

// The image as the selection identified it: the run writes no image it
// could not identify, so a plan has none.
bool ReadIdentity(Reader& r, const Json& write, const std::string& path, ImageIdentity& identity)
{
    const Json* size = Required(r, write, path, "size");
    const Json* sha256 = Required(r, write, path, "sha256");
    if (size == nullptr || sha256 == nullptr)
        return false;
    identity = ImageIdentity{};
    if (!size->is_number_unsigned())
        return r.Fail(Join(path, "size"), "not a whole number of bytes");
    std::string digest;
    if (!sha256->is_string() || sha256->get_ref<const std::string&>().size() != 64 ||
        !BytesFromHex(sha256->get_ref<const std::string&>(), digest))
        return r.Fail(Join(path, "sha256"), "not 64 lowercase hexadecimal digits");
    identity.Known = true;
    identity.Size = size->get<uint64_t>();
    std::memcpy(identity.Sha256.data(), digest.data(), identity.Sha256.size());
    return true;
}

// Every part of the path below folder is a name: no "..", ".", empty part,
// and no folder at all where subfolders is false.
bool InsideFolder(const std::string& path, const char* folder, bool subfolders)
{
    const size_t length = std::strlen(folder);
    if (path.size() >= PathFieldSize || path.size() <= length || path.compare(0, length, folder) != 0)
        return false;
    const std::string_view rest = std::string_view(path).substr(length);
    for (size_t start = 0;;) {
        const size_t end = rest.find('/', start);
        const std::string_view part = rest.substr(start, end == std::string_view::npos ? end : end - start);
        if (part.empty() || part == "." || part == "..")
            return false;
        if (end == std::string_view::npos)
            return true;
        if (!subfolders)
            return false;
        start = end + 1;
    }
}

bool ReadWrite(Reader& r, const Json& write, const std::string& path, PlannedWrite& out)
{
    if (!write.is_object())
        return r.Fail(path, "not an object");
    std::string kind;
    if (!ReadString(r, write, path, "kind", kind))
        return false;
    if (!KindFromKey(kind, out.Kind))
        return r.Fail(Join(path, "kind"), "not boot_code, pxe or clp");
    if (!ReadText(r, write, path, "image", out.Image) || !ReadIdentity(r, write, path, out.Identity) ||
        !ReadVersion(r, write, path, "from", out.From) ||
        !ReadOptionalVersion(r, write, path, "to", out.To) ||
        !ReadText(r, write, path, "backup", out.Backup) || !ReadBool(r, write, path, "forced", out.Forced))
        return false;
    const char* catalog = DescriptorOf(out.Kind).CatalogDir;
    if (!InsideFolder(out.Image, catalog, true))
        return r.Fail(Join(path, "image"), std::string("not a file under ") + catalog);
    if (!InsideFolder(out.Backup, BackupDir, false))
        return r.Fail(Join(path, "backup"), std::string("not a file name in ") + BackupDir);
    return true;
}

bool IsPciId(const std::string& text)
{
    if (text.size() != 19)
        return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool wanted = i % 5 == 4 ? c == '-' : (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
        if (!wanted)
            return false;
    }
    return true;
}

bool ReadInstalled(Reader& r, const Json& adapter, const std::string& path, AdapterPlan& out)
{
    const Json* installed = RequiredOf(r, adapter, path, "installed", Json::value_t::object, "an object");
    const std::string at = Join(path, "installed");
    return installed != nullptr && ReadOptionalVersion(r, *installed, at, "boot_code", out.BootCode) &&
           ReadOptionalVersion(r, *installed, at, "pxe", out.Pxe) &&
           ReadOptionalVersion(r, *installed, at, "clp", out.Clp) &&
           ReadOptionalVersion(r, *installed, at, "iscsi", out.Iscsi);
}

// An adapter's writes, in the update pass's order, each kind at most once.
bool ReadWrites(Reader& r, const Json& adapter, const std::string& path, AdapterPlan& out)
{
    const Json* writes = RequiredOf(r, adapter, path, "writes", Json::value_t::array, "an array");
    if (writes == nullptr)
        return false;
    for (size_t i = 0; i < writes->size(); ++i) {
        const std::string at = At(Join(path, "writes"), i);
        PlannedWrite write;
        if (!ReadWrite(r, (*writes)[i], at, write))
            return false;
        if (!out.Writes.empty() && write.Kind <= out.Writes.back().Kind)
            return r.Fail(Join(at, "kind"), std::string(KindKey(write.Kind)) + " after " +
                                                KindKey(out.Writes.back().Kind) +
                                                ": writes stand in the order boot_code, pxe, clp, once each");
        out.Writes.push_back(std::move(write));
    }
    return true;
}

bool ReadAdapter(Reader& r, const Json& adapter, const std::string& path, size_t position, AdapterPlan& out)
{
    if (!adapter.is_object())
        return r.Fail(path, "not an object");
    uint64_t index = 0;
    if (!ReadCount(r, adapter, path, "index", std::numeric_limits<uint32_t>::max(), index))
        return false;
    if (index != position)
        return r.Fail(Join(path, "index"),
                      "is " + std::to_string(index) + " at position " + std::to_string(position));
    out.Index = static_cast<uint32_t>(index);
    if (!ReadText(r, adapter, path, "mac", out.Mac) || !ReadString(r, adapter, path, "pci_id", out.PciId))
        return false;
    if (!IsPciId(out.PciId))
        return r.Fail(Join(path, "pci_id"), "not VVVV-DDDD-SSSS-IIII in upper-case hexadecimal digits");
    return ReadText(r, adapter, path, "name", out.Name) &&
           ReadText(r, adapter, path, "interface", out.Interface) && ReadInstalled(r, adapter, path, out) &&
           ReadWrites(r, adapter, path, out);
}

bool ReadCatalogs(Reader& r, const Json& document, Plan& plan)
{
    const Json* catalogs = RequiredOf(r, document, "", "catalogs", Json::value_t::object, "an object");
    if (catalogs == nullptr)
        return false;
    bool present = false;
    for (ImageKind kind : UpdateOrder) {
        const Json* catalog =
            RequiredOf(r, *catalogs, "catalogs", KindKey(kind), Json::value_t::object, "an object");
        const std::string at = Join("catalogs", KindKey(kind));
        std::string path, state;
        if (catalog == nullptr || !ReadString(r, *catalog, at, "path", path) ||
            !ReadString(r, *catalog, at, "state", state))
            return false;
        if (path != DescriptorOf(kind).CatalogFile)
            return r.Fail(Join(at, "path"), std::string("not ") + DescriptorOf(kind).CatalogFile);
        CatalogState& out = plan.Catalogs[static_cast<size_t>(kind)];
        bool known = false;
        for (CatalogState candidate : {CatalogState::Present, CatalogState::Missing, CatalogState::Unreadable,
                                       CatalogState::NotRegular})
            if (state == CatalogStateKey(candidate))
                out = candidate, known = true;
        if (!known)
            return r.Fail(Join(at, "state"), "not present, missing, unreadable or not-regular");
        present = present || out == CatalogState::Present;
    }
    return present || r.Fail("catalogs", "none is present: no plan is made without a catalog");
}

bool ReadWarnings(Reader& r, const Json& document, Plan& plan)
{
    const Json* warnings = RequiredOf(r, document, "", "warnings", Json::value_t::array, "an array");
    if (warnings == nullptr)
        return false;
    const Json* hex = Member(document, "warnings_hex");
    if (hex != nullptr && (!hex->is_array() || hex->size() != warnings->size()))
        return r.Fail("warnings_hex", "not an array as long as warnings");
    for (size_t i = 0; i < warnings->size(); ++i) {
        const Json& warning = (*warnings)[i];
        if (!warning.is_string())
            return r.Fail(At("warnings", i), "not a text");
        const Json* bytes = hex != nullptr && !(*hex)[i].is_null() ? &(*hex)[i] : nullptr;
        std::string text;
        if (!TakeBytes(r, At("warnings", i), warning.get_ref<const std::string&>(), bytes,
                       At("warnings_hex", i), text))
            return false;
        plan.Warnings.push_back(std::move(text));
    }
    return true;
}

// The flashing tool finds an adapter by its MAC text: of two adapters with
// writes and one MAC, the writes of both would go to one of them.
bool CheckMacsApart(Reader& r, const Plan& plan)
{
    std::map<std::string, uint32_t> writing;
    for (const AdapterPlan& adapter : plan.Adapters) {
        if (adapter.Writes.empty())
            continue;
        const auto [first, added] = writing.emplace(adapter.Mac, adapter.Index);
        if (!added)
            return r.Fail(At("adapters", adapter.Index) + ".mac",
                          "also that of adapters[" + std::to_string(first->second) +
                              "], which has writes too: the flashing tool could not tell them apart");
    }
    return true;
}

bool CheckFormat(Reader& r, const Json& document)
{
    if (!document.is_object())
        return r.Fail("", "the plan is not a JSON object");
    std::string version;
    if (!ReadString(r, document, "", "format_version", version))
        return false;
    unsigned long major = 0, minor = 0;
    const char* end = version.data() + version.size();
    const auto [dot, majorError] = std::from_chars(version.data(), end, major);
    const bool shaped = majorError == std::errc() && dot != end && *dot == '.' &&
                        std::from_chars(dot + 1, end, minor).ptr == end &&
                        version == std::to_string(major) + "." + std::to_string(minor);
    if (!shaped)
        return r.Fail("format_version", "not MAJOR.MINOR");
    if (major != PlanFormatMajor)
        return r.Fail("format_version",
                      "is " + version + "; this tidemark reads " + std::to_string(PlanFormatMajor) + ".x");
    return true;
}

bool CheckDigest(Reader& r, const Json& document)
{
    std::string digest;
    if (!ReadString(r, document, "", "digest", digest))
        return false;
    Json content = document;
    content.erase("digest");
    if (CanonicalDigest(content) != digest)
        return r.Fail("digest", "does not match the content: the plan was changed after it was written");
    return true;
}

bool ReadRun(Reader& r, const Json& document, Plan& plan)
{
    std::string run, library;
    if (!ReadString(r, document, "", "run", run))
        return false;
    if (run != "tidemark -s" && run != "tidemark -s -F")
        return r.Fail("run", "not \"tidemark -s\" or \"tidemark -s -F\"");
    plan.Force = run == "tidemark -s -F";
    return ReadVersion(r, document, "", "library", plan.Library) && ReadCatalogs(r, document, plan);
}

bool ReadAdapters(Reader& r, const Json& document, Plan& plan)
{
    const Json* adapters = RequiredOf(r, document, "", "adapters", Json::value_t::array, "an array");
    if (adapters == nullptr)
        return false;
    for (size_t i = 0; i < adapters->size(); ++i) {
        AdapterPlan adapter;
        if (!ReadAdapter(r, (*adapters)[i], At("adapters", i), i, adapter))
            return false;
        plan.Adapters.push_back(std::move(adapter));
    }
    return CheckMacsApart(r, plan);
}

// The totals say what the adapters say: every write has the plan's tool form.
bool ReadTotals(Reader& r, const Json& document, Plan& plan)
{
    uint64_t writes = 0;
    if (!ReadCount(r, document, "", "writes", std::numeric_limits<uint64_t>::max(), writes) ||
        !ReadBool(r, document, "", "forced", plan.Forced))
        return false;
    if (writes != plan.WriteCount())
        return r.Fail("writes", "is " + std::to_string(writes) + " but the adapters list " +
                                    std::to_string(plan.WriteCount()));
    for (const AdapterPlan& adapter : plan.Adapters)
        for (size_t i = 0; i < adapter.Writes.size(); ++i)
            if (adapter.Writes[i].Forced != plan.Forced)
                return r.Fail(At(At("adapters", adapter.Index) + ".writes", i) + ".forced",
                              "differs from the plan's forced");
    return true;
}

} // namespace

bool ReadPlanDocument(std::string_view text, Plan& plan, std::string& reason)
{
    plan = Plan{};
    Reader r;
    // Nothing below is meant to throw; a failed allocation still must not
    // escape as an exception.
    try {
        Json document;
        if (ParseJsonDocument(text, document, r.Reason) && CheckFormat(r, document) &&
            CheckDigest(r, document) && ReadRun(r, document, plan) && ReadAdapters(r, document, plan) &&
            ReadTotals(r, document, plan) && ReadWarnings(r, document, plan))
            return true;
    } catch (const std::exception& error) {
        r.Fail("", std::string("the plan cannot be read: ") + error.what());
    }
    reason = r.Reason;
    plan = Plan{};
    return false;
}
