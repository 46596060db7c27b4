// The image check before each write: hashing speed, and its share of a
// silent run of the demo fleet whose images are 1 MiB each.
//
// SilentDemoRun is the whole run (inventory, selection, update pass with the
// stand-in flashing tool, bring-up); SilentDemoRunImageChecks is the part of
// that run spent in the checks before the tool runs. The run without the
// check takes the difference; the check adds ImageChecks / (Run - ImageChecks).
// With settled:0 each image changes just before every run, so that no
// identity can be taken from the per-run record: every offer and every check
// hashes its file, the dearest case. With settled:1 the images were written
// long before, as a catalog on a server is: the check finds the identity
// recorded for the file's unchanged status. Both count CPU time, the run's
// with that of the commands it runs, which a busy machine changes far less
// than wall time. The run's fixed pauses are skipped.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "adapters/inventory.h"
#include "bench_support.h"
#include "catalog/image_identity.h"
#include "catalog/image_kinds.h"
#include "catalog/select.h"
#include "console/allocation.h"
#include "fleet.h"
#include "main/modes.h"
#include "state/bmapi.h"
#include "state/run_state.h"
#include "upgrade/update.h"

// The run's pauses (10 s after each driver load) are not what is measured.
extern "C" unsigned sleep(unsigned) { return 0; }

namespace {

namespace fs = std::filesystem;

constexpr size_t ImageSize = 1024 * 1024;
const std::string CatalogRoot = "/opt/orvan/nic_fw/nx2";

std::string FleetDir() { return bench::WorkDir() + "/demo-fleet"; }

// A metadata change moves the file's change time, which is all it takes for
// the next identification to hash the file again.
void Touch(const std::string& path)
{
    chmod(path.c_str(), 0600);
    chmod(path.c_str(), 0644);
}

std::vector<std::string> DemoImages()
{
    std::vector<std::string> images;
    for (const char* kind : {"bootcode", "pxe", "clp"})
        for (const auto& entry : fs::directory_iterator(CatalogRoot + "/" + kind))
            if (entry.path().extension() != ".info")
                images.push_back(entry.path().string());
    return images;
}

// The demo catalog with every image grown to 1 MiB, the stand-in flashing
// tool and shell commands that only succeed.
bool SetUpDemo(bool settled)
{
    fs::remove_all(CatalogRoot);
    if (!sim::WriteDemoCatalog(CatalogRoot))
        return false;
    for (const std::string& path : DemoImages()) {
        std::vector<uint8_t> bytes;
        if (!sim::ReadFile(path, bytes))
            return false;
        bytes.resize(ImageSize, 0xFF);
        sim::WriteFile(path, bytes);
    }
    fs::copy_file(WRENFLASH_SIM_BIN, "/usr/sbin/wrenflash", fs::copy_options::overwrite_existing);
    chmod("/usr/sbin/wrenflash", 0755);
    for (const char* command : {"rmmod", "modprobe", "ifconfig"}) {
        const std::string path = std::string("/usr/sbin/") + command;
        bench::WriteText(path, "#!/bin/sh\nexit 0\n");
        chmod(path.c_str(), 0755);
    }
    fs::create_directories("/var/opt/orvan");
    setenv("BMAPI_SIM_DIR", FleetDir().c_str(), 1);
    // Files changed within the last two seconds are hashed each time.
    if (settled)
        std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    return true;
}

// Before each run: the fleet as installed, no backups, no log, and unless
// settled, images whose identity must be taken afresh.
void ResetDemo(bool settled)
{
    bench::ResetRunState();
    fs::remove_all(FleetDir());
    sim::WriteDemoFleet(FleetDir());
    fs::remove_all("/var/opt/orvan/nicfw_backup");
    fs::remove("/var/opt/orvan/nicfwupg.log");
    if (settled)
        return;
    for (const std::string& path : DemoImages())
        Touch(path);
}

double Seconds(const timeval& t)
{
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
}

// CPU time of the process and of every command it has waited for.
double CpuSeconds()
{
    rusage self{}, children{};
    getrusage(RUSAGE_SELF, &self);
    getrusage(RUSAGE_CHILDREN, &children);
    return Seconds(self.ru_utime) + Seconds(self.ru_stime) + Seconds(children.ru_utime) +
           Seconds(children.ru_stime);
}

// Runs step with standard output on /dev/null: the stand-in tool prints.
template <typename Step> auto Quietly(Step step)
{
    std::fflush(stdout);
    const int saved = dup(1);
    const int devNull = open("/dev/null", O_WRONLY);
    dup2(devNull, 1);
    close(devNull);
    auto result = step();
    dup2(saved, 1);
    close(saved);
    return result;
}

void SilentDemoRun(benchmark::State& state)
{
    const bool settled = state.range(0) != 0;
    if (!SetUpDemo(settled)) {
        state.SkipWithError("cannot write the demo catalog");
        return;
    }
    for (auto _ : state) {
        ResetDemo(settled);
        SetFlag(FlagSilent);
        const double start = CpuSeconds();
        const int status = Quietly([] { return RunUpgrade(); });
        state.SetIterationTime(CpuSeconds() - start);
        if (status != StatusComplete) {
            state.SkipWithError("the silent run did not complete");
            break;
        }
    }
    bench::ResetRunState();
}
BENCHMARK(SilentDemoRun)->ArgName("settled")->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// The selection pass of the silent run, as the update pass finds it.
bool SelectDemoImages()
{
    SetFlag(FlagSilent);
    if (!LibraryVersionSupported() || BmapiInitializeEx(0) != 0 || TakeInventory() != Inventory::Taken)
        return false;
    gRun.Selections = static_cast<ImageSelection*>(AllocateZeroed(gRun.AdapterCount, sizeof(ImageSelection)));
    for (uint32_t i = 0; i < gRun.AdapterCount; ++i) {
        gRun.CurrentAdapter = i;
        SelectBootCode();
        SelectPXE();
        SelectCLP();
    }
    BmapiUninitialize();
    return true;
}

void SilentDemoRunImageChecks(benchmark::State& state)
{
    const bool settled = state.range(0) != 0;
    if (!SetUpDemo(settled)) {
        state.SkipWithError("cannot write the demo catalog");
        return;
    }
    int64_t checks = 0;
    for (auto _ : state) {
        ResetDemo(settled);
        if (!SelectDemoImages()) {
            state.SkipWithError("the selection pass failed");
            break;
        }
        const double start = CpuSeconds();
        bool asConfirmed = true;
        for (uint32_t i = 0; i < gRun.AdapterCount; ++i)
            for (ImageKind kind : UpdateOrder)
                if (IsAccepted(gRun.Selections[i], kind)) {
                    asConfirmed = asConfirmed &&
                                  CheckConfirmedImage(kind, gRun.Selections[i]) == ImageCheck::AsConfirmed;
                    ++checks;
                }
        state.SetIterationTime(CpuSeconds() - start);
        if (!asConfirmed) {
            state.SkipWithError("an image was not as confirmed");
            break;
        }
    }
    state.SetItemsProcessed(checks);
    bench::ResetRunState();
}
BENCHMARK(SilentDemoRunImageChecks)
    ->ArgName("settled")
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// IdentifyImageFile on a 1 MiB image whose status changed since its last
// identification, so that it is hashed each time.
void HashImageFile(benchmark::State& state)
{
    const std::string path = bench::WorkDir() + "/image-1mib.bin";
    bench::WriteBytes(path, std::vector<uint8_t>(ImageSize, 0x5A));
    for (auto _ : state) {
        state.PauseTiming();
        Touch(path);
        state.ResumeTiming();
        if (!IdentifyImageFile(path.c_str()).Known) {
            state.SkipWithError("the image has no identity");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * ImageSize));
}
BENCHMARK(HashImageFile)->Unit(benchmark::kMicrosecond);

} // namespace
