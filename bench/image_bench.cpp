// ReadImageVersions on an NVRAM image of the largest size an image file may
// have.
#include <benchmark/benchmark.h>

#include "state/records.h"
#include "bench_support.h"
#include "catalog/image_file.h"
#include "fleet.h"

namespace {

void ReadNvramImageVersions(benchmark::State& state)
{
    sim::NvramSpec spec;
    spec.BootCodeMajor = 2, spec.BootCodeMinor = 0; // untyped directory: any option ROM region
    spec.Rom = sim::OptionRom::Pxe, spec.RomMajor = 1, spec.RomMinor = 5;
    std::vector<uint8_t> image = sim::BuildNvramImage(spec);
    image.resize(ImageFileMaximum, 0xFF);
    const std::string path = bench::WorkDir() + "/nvram-1mib.bin";
    bench::WriteBytes(path, image);

    ImageSelection selection{};
    for (auto _ : state) {
        selection.SelectionFlags = 0;
        if (ReadImageVersions(selection, path.c_str()) != 0 ||
            (selection.SelectionFlags & SelPxeVersion) == 0) {
            state.SkipWithError("no PXE version read");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * image.size()));
}
BENCHMARK(ReadNvramImageVersions)->Unit(benchmark::kMicrosecond);

} // namespace
