// What tidemark-apply did: the result record, its JSON document and text
// summary, and the last-outcome file.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "planning/plan.h"
#include "planning/plan_compare.h"

inline constexpr char ResultFormatVersion[] = "1.0";
inline constexpr char LastOutcomePath[] = "/var/opt/orvan/tidemark-apply.last.json";

// Exit statuses of tidemark-apply.
inline constexpr int ApplyComplete = 0;
inline constexpr int ApplyRefused = 1;
inline constexpr int ApplyNothingToWrite = 2;
inline constexpr int ApplyErrors = 3;

enum class WriteOutcome { Verified, Failed, NotVerified, NotRun };

struct AppliedWrite {
    uint32_t Adapter = 0;
    std::string Mac;
    PlannedWrite Write;
    WriteOutcome Outcome = WriteOutcome::NotRun;
};

struct ApplyResult {
    std::string PlanDigest; // empty: the plan file could not be read
    int Status = ApplyRefused;
    std::string Reason; // empty: none
    std::optional<PlanDifference> Difference;
    int Signal = 0; // the signal noted during the update pass, 0 for none
    std::time_t Started = 0, Finished = 0;
    std::vector<AdapterPlan> Before;
    std::vector<std::optional<AdapterPlan>> After; // per Before; none: unreadable
    std::vector<AppliedWrite> Writes;
    std::vector<bool> InterfacesUp; // per Before
};

const char* OutcomeKey(WriteOutcome outcome);
// "complete", "refused", "nothing-to-write" or "errors", by the status.
const char* ResultKey(int status);

std::string ResultDocument(const ApplyResult& result);
void PrintResultText(const ApplyResult& result);
// Skipped silently when the folder does not exist. False with a reason.
bool WriteLastOutcome(const ApplyResult& result, std::string& reason);
