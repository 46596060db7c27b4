#include "adapters/inventory.h"

#include "adapters/discovery.h"
#include "adapters/installed.h"
#include "console/output.h"
#include "state/bmapi.h"
#include "state/run_state.h"

namespace {
constexpr uint32_t LowestMajor = 3, LowestMinor = 0, LowestBuild = 2;
} // namespace

bool LibraryVersionSupported()
{
    // The library promises nothing about the outputs on failure.
    uint32_t major = 0, minor = 0, build = 0;
    BmapiGetVersion(&major, &minor, &build);
    if (major < LowestMajor || (major == LowestMajor && minor == LowestMinor && build < LowestBuild)) {
        Output("Unsupported BMAPI version %lu.%lu.%lu.\nExpect BMAPI version %lu.%lu.%lu or later.\n",
               static_cast<unsigned long>(major), static_cast<unsigned long>(minor),
               static_cast<unsigned long>(build), static_cast<unsigned long>(LowestMajor),
               static_cast<unsigned long>(LowestMinor), static_cast<unsigned long>(LowestBuild));
        return false;
    }
    return true;
}

Inventory TakeInventory()
{
    DiscoverAdapters();
    if (gRun.AdapterCount == 0)
        return Inventory::NoAdapters;
    if (ReadInstalledFirmware() != 0)
        return Inventory::NoMemory;
    return Inventory::Taken;
}
