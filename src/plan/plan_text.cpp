// The plan as a table for an 80-column terminal.
#include <cstdio>
#include <string>
#include <string_view>

#include "catalog/image_kinds.h"
#include "plan/plan_text.h"

namespace {

// Library and catalog texts are arbitrary bytes: control characters must
// not reach the terminal.
std::string Printable(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    return out;
}

void Line(const std::string& text) { std::printf("%s\n", text.c_str()); }

std::string InstalledText(const AdapterPlan& adapter)
{
    struct Row {
        const char* Label;
        const std::optional<FirmwareVersion>& Version;
    };
    const Row rows[] = {{"boot code", adapter.BootCode},
                        {"PXE", adapter.Pxe},
                        {"CLP", adapter.Clp},
                        {"iSCSI", adapter.Iscsi}};
    std::string text;
    for (const Row& row : rows) {
        if (!row.Version)
            continue;
        text += text.empty() ? "" : ", ";
        text += std::string(row.Label) + " " + VersionText(*row.Version);
    }
    return text.empty() ? "no version read" : text;
}

void PrintWrite(const PlannedWrite& write)
{
    char head[80];
    std::snprintf(head, sizeof head, "  write %-9s %s -> %s%s", KindLabel(write.Kind),
                  VersionText(write.From).c_str(), write.To ? VersionText(*write.To).c_str() : "(no version)",
                  write.Forced ? "  forced" : "");
    Line(head);
    Line("        image  " + Printable(write.Image));
    Line("        backup " + Printable(write.Backup));
}

void PrintAdapter(const AdapterPlan& adapter)
{
    Line("Adapter " + std::to_string(adapter.Index) + ": " + Printable(adapter.Name));
    Line("  MAC " + Printable(adapter.Mac) + "  PCI-ID " + adapter.PciId + "  interface " +
         (adapter.Interface.empty() ? "(none)" : Printable(adapter.Interface)));
    Line("  installed: " + InstalledText(adapter));
    if (adapter.Writes.empty())
        Line("  nothing to write");
    for (const PlannedWrite& write : adapter.Writes)
        PrintWrite(write);
    Line("");
}

std::string Summary(const Plan& plan)
{
    const size_t writes = plan.WriteCount();
    size_t adaptersWithWrites = 0;
    for (const AdapterPlan& adapter : plan.Adapters)
        adaptersWithWrites += adapter.Writes.empty() ? 0 : 1;
    const std::string adapters =
        std::to_string(plan.Adapters.size()) + (plan.Adapters.size() == 1 ? " adapter" : " adapters");
    if (writes == 0)
        return "Nothing to write on " + adapters + ".";
    return std::to_string(writes) + (writes == 1 ? " image" : " images") + " to write on " +
           std::to_string(adaptersWithWrites) + " of " + adapters +
           (plan.Forced ? "; the flashing tool would get -F." : ".");
}

} // namespace

void PrintPlanText(const Plan& plan)
{
    Line(std::string("What \"tidemark ") + (plan.Force ? "-s -F" : "-s") +
         "\" would write (adapter library " + VersionText(plan.Library) + "):");
    Line("");
    // A catalog that is not there plans nothing of its kind, which must not
    // pass for "up to date".
    bool catalogLines = false;
    for (ImageKind kind : UpdateOrder) {
        const CatalogState state = plan.Catalogs[static_cast<size_t>(kind)];
        if (state == CatalogState::Present)
            continue;
        Line(std::string("catalog ") + DescriptorOf(kind).CatalogFile + " " + CatalogStateWords(state));
        catalogLines = true;
    }
    if (catalogLines)
        Line("");
    for (const AdapterPlan& adapter : plan.Adapters)
        PrintAdapter(adapter);
    for (const std::string& warning : plan.Warnings)
        Line("warning: " + Printable(warning));
    if (!plan.Warnings.empty())
        Line("");
    Line(Summary(plan));
}
