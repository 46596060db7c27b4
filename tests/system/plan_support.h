// Running tidemark-plan in the sandbox and reading its JSON plan as the
// flashing tool runs it promises. Every plan document a test sees is kept
// and, when the test ends, checked against the plan's JSON Schema and its
// digest by tests/system/validate_plans.py.
#pragma once

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <openssl/evp.h>

#include "upgrade_support.h"

namespace systest::plan {

// Keys keep the order the document gives them.
using Json = nlohmann::ordered_json;

inline const std::vector<std::string> PlanKeys = {
    "format_version", "run", "library", "catalogs", "adapters", "writes", "forced", "warnings", "digest"};
inline const std::vector<std::string> AdapterKeys = {"index",     "mac",       "pci_id", "name",
                                                     "interface", "installed", "writes"};
inline const std::vector<std::string> WriteKeys = {"kind", "image", "size",   "sha256",
                                                   "from", "to",    "backup", "forced"};

// SHA-256 of bytes as 64 lowercase hexadecimal digits.
inline std::string Sha256Of(const std::vector<uint8_t>& bytes)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", digest[i]);
        hex += two;
    }
    return hex;
}

// The keys of an object, in the document's order.
inline std::vector<std::string> KeysOf(const Json& object)
{
    std::vector<std::string> keys;
    for (const auto& item : object.items())
        keys.push_back(item.key());
    return keys;
}

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
    void TearDown() override
    {
        ValidateDocuments(DocumentsDir(), PLAN_SCHEMA, documents_, "");
        ValidateDocuments(ResultsDir(), RESULT_SCHEMA, results_, " --result");
        UpgradeFixture::TearDown();
    }

    // tidemark-apply [args]; a result document it prints is kept for the
    // check against the result's schema.
    RunResult RunApply(const std::vector<std::string>& args, RunOptions options = {})
    {
        options.Program = TIDEMARK_APPLY_BIN;
        RunResult r = Run(args, options);
        if (std::find(args.begin(), args.end(), "--json") != args.end())
            KeepResult(r.Out);
        return r;
    }

    // A result document for the check at the end of the test.
    void KeepResult(const std::string& text)
    {
        if (text.empty())
            return;
        std::filesystem::create_directories(ResultsDir());
        sim::WriteFile(ResultsDir() + "/" + std::to_string(++results_) + ".json",
                       std::vector<uint8_t>(text.begin(), text.end()));
    }

    // tidemark-apply --json PLAN: the parsed result, its status in status.
    Json ApplyJson(const std::string& planFile, int& status, RunOptions options = {})
    {
        const RunResult r = RunApply({planFile, "--json"}, std::move(options));
        status = r.Status;
        return ParsePlan(r.Out);
    }

    RunResult RunPlan(const std::vector<std::string>& args)
    {
        RunOptions options;
        options.Program = TIDEMARK_PLAN_BIN;
        RunResult r = Run(args, options);
        auto given = [&](const char* arg) { return std::find(args.begin(), args.end(), arg) != args.end(); };
        if (given("--json") && !given("-h") && !given("--help") && (r.Status == 0 || r.Status == 2))
            KeepDocument(r.Out);
        return r;
    }

    // A plan document for the check at the end of the test.
    void KeepDocument(const std::string& text)
    {
        std::filesystem::create_directories(DocumentsDir());
        sim::WriteFile(DocumentsDir() + "/" + std::to_string(++documents_) + ".json",
                       std::vector<uint8_t>(text.begin(), text.end()));
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

private:
    std::string DocumentsDir() const { return Root + "/plan-documents"; }
    std::string ResultsDir() const { return Root + "/result-documents"; }

    // One run of the validator for all the test's documents keeps it cheap.
    void ValidateDocuments(const std::string& folder, const char* schema, int documents, const char* flag)
    {
        if (documents == 0 || HasFatalFailure())
            return;
        const std::string command = std::string("/usr/bin/python3 '") + PLAN_VALIDATOR + "' '" + schema +
                                    "' '" + folder + "'" + flag + " 2>&1";
        std::string output;
        FILE* pipe = ::popen(command.c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        char chunk[4096];
        for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;)
            output.append(chunk, n);
        EXPECT_EQ(::pclose(pipe), 0) << documents << " documents, against " << schema << ":\n" << output;
    }

    int documents_ = 0;
    int results_ = 0;
};

} // namespace systest::plan
