// Comparing a saved plan with the plan taken now: tidemark-apply writes a
// saved plan only when the two are alike.
#pragma once

#include <optional>
#include <string>

#include "planning/plan.h"

struct PlanDifference {
    std::string Adapter;        // "adapter 1 (MAC 02A0B0C0D001)"; empty for the plan as a whole
    std::string Field;          // "library", "interface", "installed.pxe", "writes[0].sha256", ...
    std::string Saved, Current; // the two values as texts
};

// The first difference, in this order: the run (-s or -s -F), the library
// version; then adapter by adapter its MAC, PCI-ID, name, interface,
// installed versions and each write's kind, image, size, SHA-256, installed
// and target version, backup name and tool form, and its number of writes;
// then the number of adapters. Warnings and the catalogs' states are not
// compared: what they change shows in the writes. None when alike.
std::optional<PlanDifference> FirstDifference(const Plan& saved, const Plan& current);

// One line: "adapter 1 (MAC 02A0B0C0D001): interface is 'eth1' in the plan
// and 'eth7' now".
std::string DescribeDifference(const PlanDifference& difference);
