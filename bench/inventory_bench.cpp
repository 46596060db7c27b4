// Discovery, installed versions and the listing of 256 simulated adapters,
// served by the substitute library from a fleet folder.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "bench_support.h"
#include "fleet.h"
#include "main/modes.h"
#include "state/run_state.h"

namespace {

std::string WriteFleet(uint32_t count)
{
    const std::string dir = bench::WorkDir() + "/fleet" + std::to_string(count);
    sim::MakeDirs(dir);
    sim::WriteLibrary(dir, sim::LibrarySpec());
    for (uint32_t i = 0; i < count; ++i) {
        sim::NvramSpec nvram;
        nvram.BootCodeMajor = 2;
        nvram.Rom = static_cast<sim::OptionRom>(1 + i % 3);
        nvram.RomMajor = 1;
        char name[32], mac[16];
        std::snprintf(name, sizeof name, "adapter%04u", i);
        std::snprintf(mac, sizeof mac, "02A45B%06X", i);
        sim::AdapterSpec spec;
        spec.FileName = std::string(name) + ".conf";
        spec.Description = "Orvan Gigabit Server Adapter (eth" + std::to_string(i) + ")";
        spec.Name = "Orvan GS-210 Gigabit Server Adapter";
        spec.Mac = mac;
        spec.VendorId = 0x1A2B, spec.DeviceId = 0x3C4D, spec.SubsystemVendorId = 0x5E6F;
        spec.SubsystemId = 0x7A8B + i;
        spec.NvramFile = std::string(name) + ".nvram";
        sim::WriteAdapter(dir, spec);
        sim::WriteFile(dir + "/" + spec.NvramFile, sim::BuildNvramImage(nvram));
    }
    return dir;
}

void InventoryAndListing(benchmark::State& state)
{
    const auto count = static_cast<uint32_t>(state.range(0));
    setenv("BMAPI_SIM_DIR", WriteFleet(count).c_str(), 1);
    for (auto _ : state) {
        bench::ResetRunState();
        SetFlag(FlagSilent); // the listing's console text would mix with the report
        if (ListInstalledFirmware() != StatusComplete || gRun.AdapterCount != count) {
            state.SkipWithError("the fleet was not listed");
            break;
        }
    }
    bench::ResetRunState();
    unsetenv("BMAPI_SIM_DIR");
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * count));
}
BENCHMARK(InventoryAndListing)->Arg(256)->Unit(benchmark::kMillisecond);

} // namespace
