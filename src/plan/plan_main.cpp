// tidemark-plan: says what "tidemark -s" (or "-s -F") would write, as a table
// or as JSON, and writes nothing.
#include <cstdio>
#include <string>
#include <string_view>

#include "plan/plan.h"
#include "upgrade/run_lock.h"

namespace {

constexpr char Usage[] = "USAGE: tidemark-plan [ -F ] [ --json ] [ -h | --help ]\n"
                         "\t Says what \"tidemark -s\" would write on this server, and writes nothing.\n"
                         "\t -F      Plan \"tidemark -s -F\" instead.\n"
                         "\t --json  One JSON document on standard output.\n"
                         "\t -h, --help  Display this help.\n"
                         "\t Exit status: 0 nothing to write, 2 something to write, 1 could not plan.\n";

struct Options {
    bool Force = false;
    bool Json = false;
    bool Help = false;
};

// False, after saying why on standard error, for anything but the options.
bool ParseOptions(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "-F")
            options.Force = true;
        else if (arg == "--json")
            options.Json = true;
        else if (arg == "-h" || arg == "--help")
            options.Help = true;
        else {
            std::fprintf(stderr, "tidemark-plan: unknown argument '%s'; see tidemark-plan --help\n", argv[i]);
            return false;
        }
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

} // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!ParseOptions(argc, argv, options))
        return PlanCouldNotPlan;
    if (options.Help) {
        std::fputs(Usage, stdout);
        return PlanNothingToWrite;
    }

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
    if (options.Json)
        std::fputs(PlanJson(plan).c_str(), stdout);
    else
        PrintPlanText(plan);
    if (std::fflush(stdout) != 0) {
        std::fprintf(stderr, "tidemark-plan: cannot write the plan\n");
        return PlanCouldNotPlan;
    }
    return plan.WriteCount() > 0 ? PlanSomethingToWrite : PlanNothingToWrite;
}
