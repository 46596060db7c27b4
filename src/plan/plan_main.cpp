// tidemark-plan: says what "tidemark -s" (or "-s -F") would write, as a table
// or as JSON, and writes nothing but the plan file it is asked for.
#include <cstdio>
#include <ctime>
#include <string>
#include <string_view>

#include "console/descriptors.h"
#include "plan/plan_metrics.h"
#include "plan/plan_text.h"
#include "planning/plan.h"
#include "planning/plan_document.h"
#include "planning/plan_file.h"
#include "upgrade/run_lock.h"

namespace {

constexpr char Usage[] =
    "USAGE: tidemark-plan [ -F ] [ --json ] [ --out FILE ] [ --prometheus ] [ -h | --help ]\n"
    "\t Says what \"tidemark -s\" would write on this server, and writes nothing.\n"
    "\t -F          Plan \"tidemark -s -F\" instead.\n"
    "\t --json      One JSON document on standard output.\n"
    "\t --out FILE  Also save that document in FILE (mode 0600), for tidemark-apply.\n"
    "\t --prometheus  Metrics for the node exporter's textfile collector on standard\n"
    "\t             output, also when no plan can be made; not with --json or --out.\n"
    "\t -h, --help  Display this help.\n"
    "\t Exit status: 0 nothing to write, 2 something to write, 1 could not plan.\n";

struct Options {
    bool Force = false;
    bool Json = false;
    bool Help = false;
    bool Prometheus = false;
    const char* Out = nullptr;
};

// False, after saying why on standard error, for anything but the options.
bool ParseOptions(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "-F") {
            options.Force = true;
        } else if (arg == "--json") {
            options.Json = true;
        } else if (arg == "--prometheus") {
            options.Prometheus = true;
        } else if (arg == "-h" || arg == "--help") {
            options.Help = true;
        } else if (arg == "--out" && options.Out == nullptr && i + 1 < argc && argv[i + 1][0] != '\0') {
            options.Out = argv[++i];
        } else if (arg == "--out") {
            std::fprintf(stderr,
                         "tidemark-plan: --out takes one file name, once; see tidemark-plan --help\n");
            return false;
        } else {
            std::fprintf(stderr, "tidemark-plan: unknown argument '%s'; see tidemark-plan --help\n", argv[i]);
            return false;
        }
    }
    // The metrics are the whole of standard output, and the timer's run saves no plan.
    if (options.Prometheus && (options.Json || options.Out != nullptr)) {
        std::fprintf(stderr, "tidemark-plan: --prometheus cannot be given with --json or --out; see "
                             "tidemark-plan --help\n");
        return false;
    }
    return true;
}

// A plan taken while an upgrade writes would be stale at once, and its
// reads could meet a half-written image. Where the lock cannot be looked at
// (a user other than root), the plan is made and says so.
bool UpgradeInProgress()
{
    const LockReport lock = CheckRunLock();
    if (lock.State == LockState::Held) {
        std::fprintf(stderr, "tidemark-plan: cannot plan: a firmware upgrade is in progress (%s)\n",
                     DescribeRunLock(lock).c_str());
        return true;
    }
    if (lock.State == LockState::Failed)
        std::fprintf(stderr, "tidemark-plan: cannot tell whether a firmware upgrade is in progress: %s\n",
                     DescribeRunLock(lock).c_str());
    return false;
}

// The file first: when it cannot be written, nothing is printed.
int SaveAndPrint(const Options& options, const Plan& plan)
{
    const std::string document = options.Json || options.Out != nullptr ? PlanDocument(plan) : "";
    if ((options.Json || options.Out != nullptr) && document.empty()) {
        std::fprintf(stderr, "tidemark-plan: cannot compute the plan's digest\n");
        return PlanCouldNotPlan;
    }
    if (options.Out != nullptr) {
        std::string reason;
        if (document.size() > PlanDocumentMaximum)
            reason = "the plan is larger than " + std::to_string(PlanDocumentMaximum) +
                     " bytes, more than tidemark-apply reads";
        if (!reason.empty() || !WritePlanFile(options.Out, document, reason)) {
            std::fprintf(stderr, "tidemark-plan: cannot save the plan in '%s': %s\n", options.Out,
                         reason.c_str());
            return PlanCouldNotPlan;
        }
    }
    if (options.Json)
        std::fputs(document.c_str(), stdout);
    else
        PrintPlanText(plan);
    if (std::fflush(stdout) != 0) {
        std::fprintf(stderr, "tidemark-plan: cannot write the plan\n");
        return PlanCouldNotPlan;
    }
    return plan.WriteCount() > 0 ? PlanSomethingToWrite : PlanNothingToWrite;
}

// The metrics are printed whether or not a plan could be made: a failed plan
// shows as such on the panel. The status is the usual one.
int PrintMetrics(const Options& options)
{
    Plan plan;
    PlanRunFacts facts;
    facts.Started = static_cast<int64_t>(std::time(nullptr));
    facts.UpgradeInProgress = UpgradeInProgress();
    if (facts.UpgradeInProgress)
        facts.Failure = "a firmware upgrade is in progress";
    else if (!TakePlan(options.Force, plan, facts.Failure))
        std::fprintf(stderr, "tidemark-plan: cannot plan: %s\n", facts.Failure.c_str());
    else
        facts.Planned = true;
    if (facts.Planned && CheckRunLock().State == LockState::Held && UpgradeInProgress()) {
        facts = PlanRunFacts{false, "a firmware upgrade is in progress", true, facts.Started};
        plan.Adapters.clear();
    }
    std::fputs(PlanMetrics(plan, facts).c_str(), stdout);
    if (std::fflush(stdout) != 0) {
        std::fprintf(stderr, "tidemark-plan: cannot write the metrics\n");
        return PlanCouldNotPlan;
    }
    if (!facts.Planned)
        return PlanCouldNotPlan;
    return plan.WriteCount() > 0 ? PlanSomethingToWrite : PlanNothingToWrite;
}

} // namespace

int main(int argc, char** argv)
{
    // Before anything opens a file, so that none becomes the output.
    if (!OpenClosedStandardDescriptors())
        return PlanCouldNotPlan;
    Options options;
    if (!ParseOptions(argc, argv, options))
        return PlanCouldNotPlan;
    if (options.Help) {
        std::fputs(Usage, stdout);
        return PlanNothingToWrite;
    }

    if (options.Prometheus)
        return PrintMetrics(options);
    if (UpgradeInProgress())
        return PlanCouldNotPlan;
    Plan plan;
    std::string reason;
    if (!TakePlan(options.Force, plan, reason)) {
        std::fprintf(stderr, "tidemark-plan: cannot plan: %s\n", reason.c_str());
        return PlanCouldNotPlan;
    }
    // An upgrade that began meanwhile may have written while the plan read.
    if (CheckRunLock().State == LockState::Held && UpgradeInProgress())
        return PlanCouldNotPlan;
    return SaveAndPrint(options, plan);
}
