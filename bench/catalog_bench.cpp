// One catalog search with the match at the end, beside grep -c on the same
// file; and the selection pass of 256 adapters, whose cost should grow as
// adapters times entries.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "state/records.h"
#include "bench_support.h"
#include "catalog/image_kinds.h"
#include "catalog/select.h"
#include "state/run_state.h"

extern char** environ;

namespace {

const std::string AdapterId = "1A2B-3C4D-5E6F-7A8B";

void SetUpAdapters(uint32_t count)
{
    bench::ResetRunState();
    SetFlag(FlagSilent); // newer images are taken without a question
    gRun.AdapterCount = count;
    gRun.Installed = static_cast<InstalledFirmware*>(std::calloc(count, sizeof(InstalledFirmware)));
    gRun.Selections = static_cast<ImageSelection*>(std::calloc(count, sizeof(ImageSelection)));
    for (uint32_t i = 0; i < count; ++i) {
        InstalledFirmware& nic = gRun.Installed[i];
        nic.InstalledFlags = InstBootCodeVersion | InstClpVersion;
        nic.BootCodeMajor = 1;
        nic.VendorId = 0x1A2B, nic.DeviceId = 0x3C4D, nic.SubsystemVendorId = 0x5E6F;
        nic.SubsystemId = static_cast<uint16_t>(0x7A8B + i);
        nic.ClpMajor = 1;
    }
}

// Both sides of the comparison with grep count CPU time, which a busy
// machine changes far less than wall time.
double ProcessCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double Seconds(const timeval& t)
{
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
}

std::string IdOf(uint32_t adapter)
{
    char id[24];
    std::snprintf(id, sizeof id, "1A2B-3C4D-5E6F-%04X", 0x7A8B + adapter);
    return id;
}

void CatalogSearch(benchmark::State& state)
{
    const auto entries = static_cast<size_t>(state.range(0));
    const std::string text = bench::CatalogText(entries - 1, {AdapterId});
    bench::WriteText(BootCodeCatalogFile, text);
    SetUpAdapters(1);
    for (auto _ : state) {
        gRun.Selections[0] = {};
        const double start = ProcessCpuSeconds();
        SelectBootCode();
        state.SetIterationTime(ProcessCpuSeconds() - start);
        if ((gRun.Selections[0].SelectionFlags & SelBootCodeAccepted) == 0) {
            state.SkipWithError("the entry at the end was not taken");
            break;
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * entries));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
    bench::ResetRunState();
}
BENCHMARK(CatalogSearch)->Arg(10)->Arg(1000)->Arg(100000)->UseManualTime()->Unit(benchmark::kMicrosecond);

// grep -c on the same catalog file, as a process of its own: the yardstick
// for the search above. Its time is the CPU time of the grep process.
void GrepCount(benchmark::State& state)
{
    const auto entries = static_cast<size_t>(state.range(0));
    const std::string path = bench::WorkDir() + "/grep.info";
    bench::WriteText(path, bench::CatalogText(entries - 1, {AdapterId}));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    std::string grep = "grep", count = "-c", fixed = "-F", id = AdapterId, file = path;
    char* argv[] = {grep.data(), count.data(), fixed.data(), id.data(), file.data(), nullptr};
    for (auto _ : state) {
        pid_t pid = 0;
        int status = 0;
        rusage usage{};
        if (posix_spawnp(&pid, "grep", &actions, nullptr, argv, environ) != 0 ||
            wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("grep -c did not find the entry");
            break;
        }
        state.SetIterationTime(Seconds(usage.ru_utime) + Seconds(usage.ru_stime));
    }
    posix_spawn_file_actions_destroy(&actions);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * entries));
}
BENCHMARK(GrepCount)->Arg(1)->Arg(100000)->UseManualTime()->Unit(benchmark::kMicrosecond);

// The selection pass over 256 adapters (boot code and CLP catalogs), each
// catalog holding fillers and then one entry per adapter. Items are
// adapters times catalog entries.
void SelectionPass(benchmark::State& state)
{
    constexpr uint32_t Adapters = 256;
    const auto fillers = static_cast<size_t>(state.range(0));
    std::vector<std::string> ids;
    for (uint32_t i = 0; i < Adapters; ++i)
        ids.push_back(IdOf(i));
    const std::string text = bench::CatalogText(fillers, ids);
    bench::WriteText(BootCodeCatalogFile, text);
    bench::WriteText(ClpCatalogFile, text);
    SetUpAdapters(Adapters);
    for (auto _ : state) {
        std::memset(gRun.Selections, 0, sizeof(ImageSelection) * Adapters);
        for (uint32_t i = 0; i < Adapters; ++i) {
            gRun.CurrentAdapter = i;
            SelectBootCode();
            SelectCLP();
        }
        if ((gRun.Selections[Adapters - 1].SelectionFlags & SelClpAccepted) == 0) {
            state.SkipWithError("the last adapter's entry was not taken");
            break;
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * 2 * Adapters * (fillers + Adapters)));
    bench::ResetRunState();
}
BENCHMARK(SelectionPass)->Arg(0)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

} // namespace
