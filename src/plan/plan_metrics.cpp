// The plan in the Prometheus text exposition format. Every family is named
// and explained in one table; a family without samples is left out.
#include "plan/plan_metrics.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <utility>
#include <vector>

#include "catalog/image_kinds.h"
#include "planning/document_texts.h"

namespace {

enum Family : size_t {
    FirmwareInfo,
    PendingWrites,
    CatalogInfo,
    PlanSuccess,
    PlanFailureInfo,
    PlanTimestamp,
    UpgradeInProgress,
    ApplyTimestamp,
    ApplyStatus,
    ApplyWrites,
    FamilyCount
};

struct FamilyText {
    const char* Name;
    const char* Type;
    const char* Help;
};

constexpr std::array<FamilyText, FamilyCount> Families = {{
    {"tidemark_firmware_info", "gauge", "Installed firmware version per adapter and kind."},
    {"tidemark_pending_writes", "gauge", "Images tidemark -s would write, per adapter and kind."},
    {"tidemark_catalog_info", "gauge", "State of the firmware catalog file per kind."},
    {"tidemark_plan_success", "gauge", "1 when the plan could be made, 0 when not."},
    {"tidemark_plan_failure_info", "gauge", "Why the plan could not be made."},
    {"tidemark_plan_timestamp_seconds", "gauge", "When the plan was taken, in Unix seconds."},
    {"tidemark_upgrade_in_progress", "gauge", "1 when a firmware upgrade held the run lock."},
    {"tidemark_apply_last_timestamp_seconds", "gauge", "When tidemark-apply last finished, in Unix seconds."},
    {"tidemark_apply_last_status", "gauge", "Exit status of tidemark-apply's last run."},
    {"tidemark_apply_last_writes", "gauge", "Writes of tidemark-apply's last run, per outcome."},
}};

// The outcome counts of tidemark-apply's file, as key and label.
constexpr std::array<const char*, 4> ApplyOutcomes = {"verified", "failed", "not_verified", "not_run"};

// More than any outcome file tidemark-apply writes.
constexpr off_t ApplyFileMaximum = 4096;

// A failure reason longer than this is cut: a label, not a log.
constexpr size_t ReasonMaximum = 160;

using Labels = std::vector<std::pair<const char*, std::string>>;

struct Samples {
    std::array<std::string, FamilyCount> Lines;

    void Add(Family family, const Labels& labels, const std::string& value)
    {
        std::string& out = Lines[family];
        out += Families[family].Name;
        for (size_t i = 0; i < labels.size(); ++i)
            out += std::string(i == 0 ? "{" : ",") + labels[i].first + "=\"" +
                   MetricLabelValue(labels[i].second) + "\"";
        out += labels.empty() ? " " : "} ";
        out += value + "\n";
    }
};

void AddAdapter(Samples& samples, const AdapterPlan& adapter)
{
    const std::pair<const char*, const std::optional<FirmwareVersion>&> installed[] = {
        {"boot_code", adapter.BootCode},
        {"pxe", adapter.Pxe},
        {"clp", adapter.Clp},
        {"iscsi", adapter.Iscsi}};
    for (const auto& [kind, version] : installed)
        if (version)
            samples.Add(FirmwareInfo,
                        {{"mac", adapter.Mac},
                         {"interface", adapter.Interface},
                         {"kind", kind},
                         {"version", VersionText(*version)}},
                        "1");
    for (ImageKind kind : UpdateOrder) {
        size_t count = 0;
        for (const PlannedWrite& write : adapter.Writes)
            count += write.Kind == kind ? 1 : 0;
        samples.Add(PendingWrites,
                    {{"mac", adapter.Mac}, {"interface", adapter.Interface}, {"kind", KindKey(kind)}},
                    std::to_string(count));
    }
}

// The file's text, or empty when it is absent, not a regular file or too large.
std::string ReadSmallFile(const char* path)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return "";
    struct stat info {};
    std::string text;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= ApplyFileMaximum) {
        char buffer[ApplyFileMaximum + 1];
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got > 0 && got <= ApplyFileMaximum)
            text.assign(buffer, static_cast<size_t>(got));
    }
    close(fd);
    return text;
}

std::string NumberText(const SortedJson& value)
{
    if (value.is_number_float()) {
        char text[32];
        std::snprintf(text, sizeof text, "%.17g", value.get<double>());
        return text;
    }
    return value.is_number_unsigned() ? std::to_string(value.get<uint64_t>())
                                      : std::to_string(value.get<int64_t>());
}

// tidemark-apply's last outcome. A file of another major format, or one that
// is not a JSON object, gives nothing; a member of the wrong type is left out.
void AddApplyOutcome(Samples& samples)
{
    const std::string text = ReadSmallFile(ApplyLastOutcomePath);
    SortedJson document;
    std::string reason;
    if (text.empty() || !ParseJsonDocument(text, document, reason) || !document.is_object())
        return;
    const auto format = document.find("format_version");
    if (format == document.end() || !format->is_string() || format->get<std::string>().rfind("1.", 0) != 0)
        return;
    if (const auto finished = document.find("finished_unix");
        finished != document.end() && finished->is_number() &&
        !(finished->is_number_float() && !(*finished >= 0.0)))
        samples.Add(ApplyTimestamp, {}, NumberText(*finished));
    if (const auto status = document.find("status"); status != document.end() && status->is_number_integer())
        samples.Add(ApplyStatus, {}, NumberText(*status));
    for (const char* outcome : ApplyOutcomes)
        if (const auto count = document.find(outcome); count != document.end() && count->is_number_unsigned())
            samples.Add(ApplyWrites, {{"outcome", outcome}}, NumberText(*count));
}

// The catalogs as the plan found them; a plan that stopped before it looked
// at them has them looked at here, so that none passes for present.
void AddCatalogs(Samples& samples, const Plan& plan, bool looked)
{
    for (ImageKind kind : UpdateOrder) {
        const CatalogState state = looked ? plan.Catalogs[static_cast<size_t>(kind)]
                                          : CatalogStateOf(DescriptorOf(kind).CatalogFile);
        samples.Add(CatalogInfo, {{"kind", KindKey(kind)}, {"state", CatalogStateKey(state)}}, "1");
    }
}

} // namespace

std::string MetricLabelValue(std::string_view text)
{
    std::string out;
    for (char c : ReadableText(text)) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '"': out += "\\\""; break;
        case '\n': out += "\\n"; break;
        default: out += c;
        }
    }
    return out;
}

std::string PlanMetrics(const Plan& plan, const PlanRunFacts& facts)
{
    Samples samples;
    for (const AdapterPlan& adapter : plan.Adapters)
        AddAdapter(samples, adapter);
    AddCatalogs(samples, plan, facts.Planned);
    samples.Add(PlanSuccess, {}, facts.Planned ? "1" : "0");
    if (!facts.Planned)
        samples.Add(PlanFailureInfo, {{"reason", facts.Failure.substr(0, ReasonMaximum)}}, "1");
    samples.Add(PlanTimestamp, {}, std::to_string(facts.Started));
    samples.Add(UpgradeInProgress, {}, facts.UpgradeInProgress ? "1" : "0");
    AddApplyOutcome(samples);

    std::string text;
    for (size_t family = 0; family < FamilyCount; ++family) {
        if (samples.Lines[family].empty())
            continue;
        text += std::string("# HELP ") + Families[family].Name + " " + Families[family].Help + "\n";
        text += std::string("# TYPE ") + Families[family].Name + " " + Families[family].Type + "\n";
        text += samples.Lines[family];
    }
    return text;
}
