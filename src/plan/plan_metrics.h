// The plan as metrics for the node exporter's textfile collector.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "planning/plan.h"

// tidemark-apply's last outcome, as it leaves it for these metrics.
inline constexpr char ApplyLastOutcomePath[] = "/var/opt/orvan/tidemark-apply.last.json";

// What the metrics say besides the plan itself.
struct PlanRunFacts {
    bool Planned = false;           // false: the plan holds no adapters and Failure says why
    std::string Failure;            // one line
    bool UpgradeInProgress = false; // the run lock was held
    int64_t Started = 0;            // Unix seconds
};

// A label value in the exposition format: bytes that are not UTF-8 replaced,
// backslash, double quote and line end escaped.
std::string MetricLabelValue(std::string_view text);

// The exposition text: firmware, pending writes, catalogs, the planning run
// and, when its file can be read, tidemark-apply's last outcome.
std::string PlanMetrics(const Plan& plan, const PlanRunFacts& facts);
