// The plan as one JSON document.
#include <nlohmann/json.hpp>

#include "planning/plan.h"

namespace {

using Json = nlohmann::ordered_json;

Json VersionOrNull(const std::optional<FirmwareVersion>& version)
{
    return version ? Json(VersionText(*version)) : Json(nullptr);
}

Json WriteJson(const PlannedWrite& write)
{
    return Json{{"kind", KindKey(write.Kind)},   {"image", write.Image},   {"from", VersionText(write.From)},
                {"to", VersionOrNull(write.To)}, {"backup", write.Backup}, {"forced", write.Forced}};
}

Json AdapterJson(const AdapterPlan& adapter)
{
    Json writes = Json::array();
    for (const PlannedWrite& write : adapter.Writes)
        writes.push_back(WriteJson(write));
    return Json{{"index", adapter.Index},
                {"mac", adapter.Mac},
                {"pci_id", adapter.PciId},
                {"name", adapter.Name},
                {"interface", adapter.Interface},
                {"installed",
                 {{"boot_code", VersionOrNull(adapter.BootCode)},
                  {"pxe", VersionOrNull(adapter.Pxe)},
                  {"clp", VersionOrNull(adapter.Clp)},
                  {"iscsi", VersionOrNull(adapter.Iscsi)}}},
                {"writes", std::move(writes)}};
}

} // namespace

std::string PlanJson(const Plan& plan)
{
    Json adapters = Json::array();
    for (const AdapterPlan& adapter : plan.Adapters)
        adapters.push_back(AdapterJson(adapter));
    const Json document{{"library", VersionText(plan.Library)},
                        {"adapters", std::move(adapters)},
                        {"writes", plan.WriteCount()},
                        {"forced", plan.Forced},
                        {"warnings", plan.Warnings}};
    // Texts from the library and the catalog need not be UTF-8.
    return document.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}
