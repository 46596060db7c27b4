// tidemark-apply: writes a plan saved by tidemark-plan --out, and only when
// the plan taken now is alike, with the update pass of "tidemark -s"; then
// reads every adapter again and reports each write's outcome.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "adapters/inventory.h"
#include "apply/apply_result.h"
#include "console/descriptors.h"
#include "console/output.h"
#include "planning/plan.h"
#include "planning/plan_compare.h"
#include "planning/plan_document.h"
#include "planning/plan_file.h"
#include "state/bmapi.h"
#include "state/run_state.h"
#include "upgrade/interruption.h"
#include "upgrade/reload.h"
#include "upgrade/run_lock.h"
#include "upgrade/update.h"
#include "upgrade/update_pass.h"

namespace {

constexpr char ProgramName[] = "tidemark-apply";
constexpr char Usage[] =
    "USAGE: tidemark-apply PLAN [ --json ] [ -h | --help ]\n"
    "\t Writes the plan that \"tidemark-plan --out PLAN\" saved, as \"tidemark -s\" would,\n"
    "\t when the plan taken now is the same; then reads every adapter again.\n"
    "\t --json      One JSON result document on standard output.\n"
    "\t -h, --help  Display this help.\n"
    "\t Exit status: 0 every write verified, 2 nothing to write,\n"
    "\t 1 refused with nothing written, 3 anything else.\n";

struct Options {
    const char* PlanPath = nullptr;
    bool Json = false;
    bool Help = false;
};

bool ParseOptions(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--json") {
            options.Json = true;
        } else if (arg == "-h" || arg == "--help") {
            options.Help = true;
        } else if (!arg.empty() && arg[0] != '-' && options.PlanPath == nullptr) {
            options.PlanPath = argv[i];
        } else {
            std::fprintf(stderr, "tidemark-apply: unexpected argument '%s'; see tidemark-apply --help\n",
                         argv[i]);
            return false;
        }
    }
    if (options.PlanPath == nullptr && !options.Help) {
        std::fprintf(stderr, "tidemark-apply: no plan file given; see tidemark-apply --help\n");
        return false;
    }
    return true;
}

// The digest the saved document carries; empty when it cannot be read again.
std::string DigestOf(const char* path)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return "";
    std::string text;
    char buffer[65536];
    ssize_t n = 0;
    while ((n = read(fd, buffer, sizeof buffer)) > 0 && text.size() <= PlanDocumentMaximum)
        text.append(buffer, static_cast<size_t>(n));
    close(fd);
    return n < 0 ? "" : PlanContentDigest(text);
}

bool Refuse(ApplyResult& result, std::string reason)
{
    result.Status = ApplyRefused;
    result.Reason = std::move(reason);
    return false;
}

// Root, the run lock, the saved plan, the plan taken now and their
// comparison. True with the library open and the selection in gRun when the
// plan is to be written.
bool CheckPlan(const char* path, ApplyResult& result, Plan& current)
{
    Plan saved;
    std::string reason;
    if (!ReadPlanFile(path, saved, reason))
        return Refuse(result, "cannot read the plan '" + std::string(path) + "': " + reason);
    result.PlanDigest = DigestOf(path);
    if (!TakePlan(saved.Force, current, reason, true))
        return Refuse(result, "cannot plan: " + reason);
    if (const auto difference = FirstDifference(saved, current)) {
        BmapiUninitialize();
        result.Difference = difference;
        return Refuse(result, "the plan is stale: " + DescribeDifference(*difference));
    }
    for (const AdapterPlan& adapter : current.Adapters) {
        result.Before.push_back(adapter);
        for (const PlannedWrite& write : adapter.Writes)
            result.Writes.push_back({adapter.Index, adapter.Mac, write, WriteOutcome::NotRun});
    }
    if (current.WriteCount() == 0) {
        BmapiUninitialize();
        result.Status = ApplyNothingToWrite;
        return false;
    }
    return true;
}

// Every adapter's installed versions once more, matched by MAC.
void ReadAgain(ApplyResult& result)
{
    result.After.assign(result.Before.size(), std::nullopt);
    if (BmapiInitializeEx(0) != 0)
        return;
    if (TakeInventory() == Inventory::Taken) {
        for (uint32_t i = 0; i < gRun.AdapterCount; ++i) {
            AdapterPlan now = DescribeInstalledAdapter(i);
            for (size_t b = 0; b < result.Before.size(); ++b)
                if (result.Before[b].Mac == now.Mac && !result.After[b])
                    result.After[b] = now;
        }
    }
    BmapiUninitialize();
}

std::optional<FirmwareVersion> AfterVersion(const ApplyResult& result, const AppliedWrite& applied)
{
    for (size_t b = 0; b < result.Before.size(); ++b) {
        if (result.Before[b].Index != applied.Adapter || !result.After[b])
            continue;
        const AdapterPlan& after = *result.After[b];
        switch (applied.Write.Kind) {
        case ImageKind::BootCode: return after.BootCode;
        case ImageKind::Pxe: return after.Pxe;
        case ImageKind::Clp: return after.Clp ? after.Clp : after.Iscsi;
        }
    }
    return std::nullopt;
}

// The update pass, with the commands' output on standard error, so that
// standard output holds only the result. Its status is tidemark's; the
// outcomes are finer.
void RunPassWithOutputAside()
{
    std::fflush(stdout);
    const int savedOut = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (savedOut >= 0)
        dup2(STDERR_FILENO, STDOUT_FILENO);
    RunUpdatePass();
    if (savedOut >= 0) {
        dup2(savedOut, STDOUT_FILENO);
        close(savedOut);
    }
}

WriteOutcome OutcomeOf(const ApplyResult& result, const AppliedWrite& applied)
{
    switch (WriteResultOf(applied.Adapter, applied.Write.Kind)) {
    case WriteResult::NotRun: return WriteOutcome::NotRun;
    case WriteResult::Failed: return WriteOutcome::Failed;
    case WriteResult::Written: break;
    }
    const auto after = AfterVersion(result, applied);
    const bool carries = applied.Write.To && after && VersionText(*after) == VersionText(*applied.Write.To);
    return carries ? WriteOutcome::Verified : WriteOutcome::NotVerified;
}

// The update pass as "tidemark -s" runs it, logged as it logs it; then the
// interfaces' and the writes' outcomes.
void WritePlan(ApplyResult& result)
{
    LogResume();
    Output("Orvan Gigabit Server Adapter Firmware Upgrade Utility\n");
    RunPassWithOutputAside();
    result.Signal = InterruptingSignal();
    bool allUp = true;
    for (const AdapterPlan& adapter : result.Before) {
        result.InterfacesUp.push_back(InterfaceRaised(adapter.Index));
        allUp = allUp && result.InterfacesUp.back();
    }
    LogClose();
    // A failed bring-up leaves the library open.
    if (!allUp)
        BmapiUninitialize();
    ReadAgain(result);
    bool allVerified = true;
    for (AppliedWrite& applied : result.Writes) {
        applied.Outcome = OutcomeOf(result, applied);
        allVerified = allVerified && applied.Outcome == WriteOutcome::Verified;
    }
    result.Status = allVerified && allUp && result.Signal == 0 ? ApplyComplete : ApplyErrors;
    if (result.Status == ApplyErrors)
        result.Reason = result.Signal != 0 ? "the run was interrupted"
                        : !allVerified     ? "not every write was verified"
                                           : "not every interface came up";
}

int Report(const Options& options, ApplyResult& result, bool lastOutcome)
{
    result.Finished = std::time(nullptr);
    if (options.Json)
        std::fputs(ResultDocument(result).c_str(), stdout);
    else
        PrintResultText(result);
    std::string reason;
    if (lastOutcome && !WriteLastOutcome(result, reason))
        std::fprintf(stderr, "tidemark-apply: cannot write %s: %s\n", LastOutcomePath, reason.c_str());
    std::fflush(stdout);
    return result.Status;
}

} // namespace

int main(int argc, char** argv)
{
    // Before anything opens a file, so that none becomes the output.
    if (!OpenClosedStandardDescriptors())
        return ApplyRefused;
    Options options;
    if (!ParseOptions(argc, argv, options))
        return ApplyRefused;
    if (options.Help) {
        std::fputs(Usage, stdout);
        return ApplyComplete;
    }
    ApplyResult result;
    result.Started = std::time(nullptr);
    if (getuid() != 0 && geteuid() != 0) {
        Refuse(result, "must be run as root");
        return Report(options, result, false);
    }
    if (const LockReport lock = TakeRunLock(ProgramName); lock.State != LockState::Taken) {
        Refuse(result, (lock.State == LockState::Held ? "another firmware upgrade is in progress: "
                                                      : "cannot start a firmware upgrade: ") +
                           DescribeRunLock(lock));
        return Report(options, result, false);
    }
    Plan current;
    if (CheckPlan(options.PlanPath, result, current))
        WritePlan(result);
    return Report(options, result, true);
}
