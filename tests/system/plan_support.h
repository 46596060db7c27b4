// Running tidemark-plan in the sandbox and reading its JSON plan as the
// flashing tool runs it promises.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "upgrade_support.h"

namespace systest::plan {

// Keys keep the order the document gives them.
using Json = nlohmann::ordered_json;

inline const std::vector<std::string> PlanKeys = {"library", "adapters", "writes", "forced", "warnings"};
inline const std::vector<std::string> AdapterKeys = {"index",     "mac",       "pci_id", "name",
                                                     "interface", "installed", "writes"};
inline const std::vector<std::string> WriteKeys = {"kind", "image", "from", "to", "backup", "forced"};

// The document, or a failure and null when standard output is not exactly
// one JSON document.
inline Json ParsePlan(const std::string& out)
{
    Json plan = Json::parse(out, nullptr, false);
    if (plan.is_discarded()) {
        ADD_FAILURE() << "not one JSON document:\n" << out;
        return Json();
    }
    return plan;
}

// The argument vectors the flashing tool would get, in order.
inline std::vector<std::vector<std::string>> PlannedToolRuns(const Json& plan)
{
    std::vector<std::vector<std::string>> runs;
    if (!plan.is_object() || !plan.contains("adapters"))
        return runs;
    for (const Json& adapter : plan["adapters"]) {
        for (const Json& write : adapter["writes"]) {
            std::vector<std::string> run = {adapter["mac"].get<std::string>(), "upgrade"};
            if (write["forced"].get<bool>())
                run.push_back("-F");
            run.push_back(write["kind"] == "boot_code" ? "-bc" : "-mba");
            run.push_back(write["image"].get<std::string>());
            run.push_back(write["backup"].get<std::string>());
            runs.push_back(run);
        }
    }
    return runs;
}

class PlanFixture : public upgrade::UpgradeFixture {
protected:
    RunResult RunPlan(const std::vector<std::string>& args)
    {
        RunOptions options;
        options.Program = TIDEMARK_PLAN_BIN;
        return Run(args, options);
    }

    // tidemark-plan --json [args]: the parsed plan, its status in status.
    Json PlanJson(const std::vector<std::string>& args, int& status)
    {
        std::vector<std::string> all = {"--json"};
        all.insert(all.end(), args.begin(), args.end());
        const RunResult r = RunPlan(all);
        status = r.Status;
        return ParsePlan(r.Out);
    }
};

} // namespace systest::plan
