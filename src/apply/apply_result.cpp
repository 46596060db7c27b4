#include "apply/apply_result.h"

#include <sys/stat.h>

#include <csignal>
#include <cstdio>

#include "catalog/image_identity.h"
#include "planning/document_texts.h"
#include "planning/plan_file.h"

namespace {

using Json = OrderedJson;

// As the plan document does it: the readable form, and the bytes beside it
// when they are not UTF-8.
void PutText(Json& object, const std::string& key, const std::string& bytes)
{
    object[key] = ReadableText(bytes);
    if (!IsValidUtf8(bytes))
        object[key + "_hex"] = HexText(bytes);
}

Json VersionOrNull(const std::optional<FirmwareVersion>& version)
{
    return version ? Json(VersionText(*version)) : Json(nullptr);
}

Json Versions(const AdapterPlan* adapter)
{
    if (adapter == nullptr)
        return Json{{"boot_code", nullptr}, {"pxe", nullptr}, {"clp", nullptr}, {"iscsi", nullptr}};
    return Json{{"boot_code", VersionOrNull(adapter->BootCode)},
                {"pxe", VersionOrNull(adapter->Pxe)},
                {"clp", VersionOrNull(adapter->Clp)},
                {"iscsi", VersionOrNull(adapter->Iscsi)}};
}

std::string Rfc3339(std::time_t when)
{
    std::tm utc{};
    gmtime_r(&when, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

Json SignalOrNull(int signal)
{
    switch (signal) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    case SIGQUIT: return "SIGQUIT";
    default: return nullptr;
    }
}

// The adapter's index from "adapter 1 (MAC ...)"; null for the plan as a whole.
Json DifferenceJson(const PlanDifference& difference)
{
    Json adapter = nullptr;
    unsigned index = 0;
    if (std::sscanf(difference.Adapter.c_str(), "adapter %u", &index) == 1)
        adapter = index;
    Json json{{"adapter", adapter}, {"field", difference.Field}};
    PutText(json, "saved", difference.Saved);
    PutText(json, "current", difference.Current);
    return json;
}

Json AdaptersJson(const ApplyResult& result)
{
    Json adapters = Json::array();
    for (size_t i = 0; i < result.Before.size(); ++i) {
        const AdapterPlan& before = result.Before[i];
        Json json{{"index", before.Index}};
        PutText(json, "mac", before.Mac);
        PutText(json, "interface", before.Interface);
        json["before"] = Versions(&before);
        json["after"] = Versions(i < result.After.size() && result.After[i] ? &*result.After[i] : nullptr);
        adapters.push_back(std::move(json));
    }
    return adapters;
}

Json WritesJson(const ApplyResult& result)
{
    Json writes = Json::array();
    for (const AppliedWrite& applied : result.Writes) {
        const PlannedWrite& write = applied.Write;
        Json json{{"adapter", applied.Adapter}};
        PutText(json, "mac", applied.Mac);
        json["kind"] = KindKey(write.Kind);
        PutText(json, "image", write.Image);
        json["sha256"] = write.Identity.Known ? Json(Sha256Hex(write.Identity)) : Json(nullptr);
        json["from"] = VersionText(write.From);
        json["to"] = VersionOrNull(write.To);
        PutText(json, "backup", write.Backup);
        json["forced"] = write.Forced;
        json["outcome"] = OutcomeKey(applied.Outcome);
        writes.push_back(std::move(json));
    }
    return writes;
}

Json InterfacesJson(const ApplyResult& result)
{
    Json interfaces = Json::array();
    for (size_t i = 0; i < result.Before.size() && i < result.InterfacesUp.size(); ++i) {
        Json json{{"adapter", result.Before[i].Index}};
        PutText(json, "interface", result.Before[i].Interface);
        json["up"] = static_cast<bool>(result.InterfacesUp[i]);
        interfaces.push_back(std::move(json));
    }
    return interfaces;
}

size_t CountOf(const ApplyResult& result, WriteOutcome outcome)
{
    size_t count = 0;
    for (const AppliedWrite& write : result.Writes)
        count += write.Outcome == outcome ? 1 : 0;
    return count;
}

} // namespace

const char* OutcomeKey(WriteOutcome outcome)
{
    switch (outcome) {
    case WriteOutcome::Verified: return "verified";
    case WriteOutcome::Failed: return "failed";
    case WriteOutcome::NotVerified: return "not-verified";
    case WriteOutcome::NotRun: break;
    }
    return "not-run";
}

const char* ResultKey(int status)
{
    switch (status) {
    case ApplyComplete: return "complete";
    case ApplyRefused: return "refused";
    case ApplyNothingToWrite: return "nothing-to-write";
    default: return "errors";
    }
}

std::string ResultDocument(const ApplyResult& result)
{
    Json document{{"format_version", ResultFormatVersion}};
    document["plan_digest"] = result.PlanDigest.empty() ? Json(nullptr) : Json(result.PlanDigest);
    document["status"] = result.Status;
    document["result"] = ResultKey(result.Status);
    if (result.Reason.empty())
        document["reason"] = nullptr;
    else
        PutText(document, "reason", result.Reason);
    document["difference"] = result.Difference ? DifferenceJson(*result.Difference) : Json(nullptr);
    document["interrupted"] = SignalOrNull(result.Signal);
    document["started"] = Rfc3339(result.Started);
    document["finished"] = Rfc3339(result.Finished);
    document["adapters"] = AdaptersJson(result);
    document["writes"] = WritesJson(result);
    document["interfaces"] = InterfacesJson(result);
    return document.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

void PrintResultText(const ApplyResult& result)
{
    if (!result.Reason.empty())
        std::printf("tidemark-apply: %s\n", ReadableText(result.Reason).c_str());
    for (const AppliedWrite& applied : result.Writes)
        std::printf("Adapter %u (MAC %s): %s %s -> %s: %s\n", applied.Adapter,
                    ReadableText(applied.Mac).c_str(), KindLabel(applied.Write.Kind),
                    VersionText(applied.Write.From).c_str(),
                    applied.Write.To ? VersionText(*applied.Write.To).c_str() : "unknown",
                    OutcomeKey(applied.Outcome));
    for (size_t i = 0; i < result.Before.size() && i < result.InterfacesUp.size(); ++i)
        if (!result.InterfacesUp[i])
            std::printf("Interface %s is not up\n", ReadableText(result.Before[i].Interface).c_str());
    std::printf("Result: %s (%zu verified, %zu failed, %zu not verified, %zu not run)\n",
                ResultKey(result.Status), CountOf(result, WriteOutcome::Verified),
                CountOf(result, WriteOutcome::Failed), CountOf(result, WriteOutcome::NotVerified),
                CountOf(result, WriteOutcome::NotRun));
}

bool WriteLastOutcome(const ApplyResult& result, std::string& reason)
{
    const std::string path = LastOutcomePath;
    struct stat info {};
    if (stat(path.substr(0, path.rfind('/')).c_str(), &info) != 0)
        return true;
    const Json document{{"format_version", ResultFormatVersion},
                        {"finished", Rfc3339(result.Finished)},
                        {"finished_unix", static_cast<long long>(result.Finished)},
                        {"status", result.Status},
                        {"verified", CountOf(result, WriteOutcome::Verified)},
                        {"failed", CountOf(result, WriteOutcome::Failed)},
                        {"not_verified", CountOf(result, WriteOutcome::NotVerified)},
                        {"not_run", CountOf(result, WriteOutcome::NotRun)}};
    return WriteFileAtomically(path, document.dump() + "\n", 0644, reason);
}
