// The plan as one JSON document.
#include "planning/plan_document.h"

#include "catalog/image_identity.h"
#include "catalog/image_kinds.h"
#include "planning/document_texts.h"

namespace {

using Json = OrderedJson;

Json VersionOrNull(const std::optional<FirmwareVersion>& version)
{
    return version ? Json(VersionText(*version)) : Json(nullptr);
}

// The readable form, and beside it the bytes when they are not UTF-8: two
// different files never look alike.
void PutText(Json& object, const std::string& key, const std::string& bytes)
{
    object[key] = ReadableText(bytes);
    if (!IsValidUtf8(bytes))
        object[key + "_hex"] = HexText(bytes);
}

Json WriteJson(const PlannedWrite& write)
{
    Json json{{"kind", KindKey(write.Kind)}};
    PutText(json, "image", write.Image);
    // TakePlan plans no write of an image it could not identify; null says
    // so of any other plan, and no reader takes it.
    json["size"] = write.Identity.Known ? Json(write.Identity.Size) : Json(nullptr);
    json["sha256"] = write.Identity.Known ? Json(Sha256Hex(write.Identity)) : Json(nullptr);
    json["from"] = VersionText(write.From);
    json["to"] = VersionOrNull(write.To);
    PutText(json, "backup", write.Backup);
    json["forced"] = write.Forced;
    return json;
}

Json AdapterJson(const AdapterPlan& adapter)
{
    Json writes = Json::array();
    for (const PlannedWrite& write : adapter.Writes)
        writes.push_back(WriteJson(write));
    Json json{{"index", adapter.Index}};
    PutText(json, "mac", adapter.Mac);
    json["pci_id"] = adapter.PciId;
    PutText(json, "name", adapter.Name);
    PutText(json, "interface", adapter.Interface);
    json["installed"] = Json{{"boot_code", VersionOrNull(adapter.BootCode)},
                             {"pxe", VersionOrNull(adapter.Pxe)},
                             {"clp", VersionOrNull(adapter.Clp)},
                             {"iscsi", VersionOrNull(adapter.Iscsi)}};
    json["writes"] = std::move(writes);
    return json;
}

Json CatalogsJson(const Plan& plan)
{
    Json catalogs = Json::object();
    for (ImageKind kind : UpdateOrder)
        catalogs[KindKey(kind)] = Json{{"path", DescriptorOf(kind).CatalogFile},
                                       {"state", CatalogStateKey(plan.Catalogs[static_cast<size_t>(kind)])}};
    return catalogs;
}

// Warnings as texts; their bytes beside them (null for those that are UTF-8)
// when any is not.
void PutWarnings(Json& document, const std::vector<std::string>& warnings)
{
    Json readable = Json::array(), hex = Json::array();
    bool anyInvalid = false;
    for (const std::string& warning : warnings) {
        readable.push_back(ReadableText(warning));
        const bool valid = IsValidUtf8(warning);
        hex.push_back(valid ? Json(nullptr) : Json(HexText(warning)));
        anyInvalid = anyInvalid || !valid;
    }
    document["warnings"] = std::move(readable);
    if (anyInvalid)
        document["warnings_hex"] = std::move(hex);
}

} // namespace

std::string PlanDocument(const Plan& plan)
{
    Json adapters = Json::array();
    for (const AdapterPlan& adapter : plan.Adapters)
        adapters.push_back(AdapterJson(adapter));
    Json document{{"format_version", PlanFormatVersion},
                  {"run", plan.Force ? "tidemark -s -F" : "tidemark -s"},
                  {"library", VersionText(plan.Library)},
                  {"catalogs", CatalogsJson(plan)},
                  {"adapters", std::move(adapters)},
                  {"writes", plan.WriteCount()},
                  {"forced", plan.Forced}};
    PutWarnings(document, plan.Warnings);
    // Every text in the document is UTF-8 by now, so the canonical form of
    // what a reader parses is the canonical form of this.
    const std::string digest = CanonicalDigest(SortedJson(document));
    if (digest.empty())
        return "";
    document["digest"] = digest;
    return document.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::string PlanContentDigest(std::string_view text)
{
    SortedJson content;
    std::string reason;
    if (!ParseJsonDocument(text, content, reason) || !content.is_object())
        return "";
    content.erase("digest");
    return CanonicalDigest(content);
}
