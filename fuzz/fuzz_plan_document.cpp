// Saved plan documents, read as tidemark-apply reads them. The first input
// byte chooses how: 0 the rest as it is; 1 the rest with its digest renewed
// when it is a JSON object, so that the checks behind the digest are reached.
// A document the reader takes must be written back to the same plan.
#include <cstddef>
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "fuzz_support.h"
#include "planning/plan_compare.h"
#include "planning/plan_document.h"

namespace {

std::string Resealed(const std::string& text)
{
    // Computed only for what the reader's parser takes (no key twice, no
    // deep nesting), so that writing it back cannot recurse too deep.
    const std::string digest = PlanContentDigest(text);
    if (digest.empty())
        return text;
    nlohmann::ordered_json document = nlohmann::ordered_json::parse(text, nullptr, false);
    document["digest"] = digest;
    return document.dump();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (data[0] & 1)
        text = Resealed(text);

    Plan plan;
    std::string reason;
    if (!ReadPlanDocument(text, plan, reason)) {
        fuzz::Expect(!reason.empty() && reason.find('\n') == std::string::npos, "a refusal gives one line");
        fuzz::Expect(plan.Adapters.empty() && plan.Warnings.empty(), "a refused plan leaves nothing");
        return 0;
    }
    fuzz::Expect(reason.empty(), "a plan that is read gives no reason");
    const std::string written = PlanDocument(plan);
    Plan again;
    fuzz::Expect(ReadPlanDocument(written, again, reason),
                 "a plan that was read can be written and read again");
    fuzz::Expect(!FirstDifference(plan, again), "and it is the same plan");
    fuzz::Expect(again.Warnings == plan.Warnings && again.Catalogs == plan.Catalogs,
                 "with the same warnings");
    fuzz::Expect(PlanDocument(again) == written, "written the same way");
    return 0;
}
