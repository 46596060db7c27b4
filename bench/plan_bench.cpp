// The plan of 1,024 adapters of one model, each with a boot code, a PXE and a
// CLP image to write, the three images shared and 1 MiB each: what the size,
// SHA-256 and digest of the plan document cost. A run identifies each image
// file once (the cache keeps its identity while the file stays as it was),
// so:
//   PlanOf1024Adapters/digests:1  each plan names the images by new paths,
//                                 links to the files, as a new process would
//                                 find them: each file is hashed once a plan;
//   PlanOf1024Adapters/digests:0  the same paths every time: the files are
//                                 never hashed again, as if hashing were free;
//   PlanDigestOf1024Adapters      the document's own digest alone (the
//                                 canonical form and its SHA-256), which both
//                                 of the above include.
// Each plan is the whole of it: the inventory from the substitute library,
// the selection pass (whose PXE step reads each image file), the writes and
// the document.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_support.h"
#include "catalog/image_kinds.h"
#include "fleet.h"
#include "planning/document_texts.h"
#include "planning/plan.h"
#include "planning/plan_document.h"

namespace {

constexpr uint32_t Adapters = 1024;
constexpr size_t ImageSize = 0x100000; // the largest image a catalog may name
const std::string ModelId = "1A2B-3C4D-5E6F-7A8B";

std::string FleetDir() { return bench::WorkDir() + "/plan-fleet"; }
std::string ImagesDir() { return bench::WorkDir() + "/plan-images"; }

void WriteFleet()
{
    const std::string dir = FleetDir();
    sim::MakeDirs(dir);
    sim::WriteLibrary(dir, sim::LibrarySpec());
    sim::NvramSpec nvram;
    nvram.BootCodeMajor = 1;
    nvram.Rom = sim::OptionRom::Pxe;
    nvram.RomMajor = 1;
    nvram.VendorId = 0x1A2B, nvram.DeviceId = 0x3C4D, nvram.SubsystemVendorId = 0x5E6F,
    nvram.SubsystemId = 0x7A8B;
    sim::WriteFile(dir + "/adapter.nvram", sim::BuildNvramImage(nvram));
    for (uint32_t i = 0; i < Adapters; ++i) {
        char name[32], mac[16];
        std::snprintf(name, sizeof name, "adapter%04u.conf", i);
        std::snprintf(mac, sizeof mac, "02A45B%06X", i);
        sim::AdapterSpec spec;
        spec.FileName = name;
        spec.Description = "Orvan Gigabit Server Adapter (eth" + std::to_string(i) + ")";
        spec.Name = "Orvan GS-210 Gigabit Server Adapter";
        spec.Mac = mac;
        spec.VendorId = 0x1A2B, spec.DeviceId = 0x3C4D, spec.SubsystemVendorId = 0x5E6F,
        spec.SubsystemId = 0x7A8B;
        spec.NvramFile = "adapter.nvram";
        sim::WriteAdapter(dir, spec);
    }
}

// Three 1 MiB images; the PXE one an option ROM whose version the selection
// reads from it. Written once, then left to settle, so that the identity
// cache trusts them.
void WriteImages()
{
    sim::MakeDirs(ImagesDir());
    std::vector<uint8_t> pxe = sim::BuildOptionRomFile(sim::OptionRom::Pxe, 2, 0, 0);
    pxe.resize(ImageSize, 0x5A);
    std::vector<uint8_t> other(ImageSize);
    for (size_t i = 0; i < other.size(); ++i)
        other[i] = static_cast<uint8_t>(i * 131 + (i >> 12));
    bench::WriteBytes(ImagesDir() + "/bootcode.bin", other);
    bench::WriteBytes(ImagesDir() + "/pxe.rom", pxe);
    other[0] ^= 0xFF;
    bench::WriteBytes(ImagesDir() + "/clp.rom", other);
    sleep(3);
}

// The catalogs name the images by links named after round: a new round is
// a new path to each file.
void WriteCatalogs(int round)
{
    const std::string suffix = "_" + std::to_string(round);
    const struct {
        const char *Dir, *Catalog, *Target, *Version;
    } kinds[] = {
        {BootCodeCatalogDir, BootCodeCatalogFile, "bootcode.bin", "v2.0.0"},
        {PxeCatalogDir, PxeCatalogFile, "pxe.rom", "-"},
        {ClpCatalogDir, ClpCatalogFile, "clp.rom", "v3.0.0"},
    };
    for (const auto& kind : kinds) {
        const std::string name = std::string("image") + suffix;
        std::filesystem::create_directories(kind.Dir);
        std::error_code ec;
        std::filesystem::create_symlink(ImagesDir() + "/" + kind.Target, std::string(kind.Dir) + name, ec);
        bench::WriteText(kind.Catalog, ModelId + " " + name + " " + kind.Version + "\n");
    }
}

bool TakeAndWrite(std::string& document)
{
    bench::ResetRunState();
    Plan plan;
    std::string reason;
    if (!TakePlan(false, plan, reason) || plan.WriteCount() != 3 * Adapters)
        return false;
    document = PlanDocument(plan);
    return !document.empty();
}

void SetUpPlans()
{
    static bool done = false;
    if (!done) {
        WriteFleet();
        WriteImages();
        done = true;
    }
    setenv("BMAPI_SIM_DIR", FleetDir().c_str(), 1);
}

void PlanOf1024Adapters(benchmark::State& state)
{
    const bool fresh = state.range(0) != 0;
    SetUpPlans();
    int round = 0;
    WriteCatalogs(round);
    std::string document;
    if (!TakeAndWrite(document)) // the same paths are known from here on
        state.SkipWithError("the plan is not the 3,072 writes expected");
    for (auto _ : state) {
        if (fresh) {
            state.PauseTiming();
            WriteCatalogs(++round);
            state.ResumeTiming();
        }
        if (!TakeAndWrite(document)) {
            state.SkipWithError("the plan is not the 3,072 writes expected");
            break;
        }
    }
    state.counters["document_bytes"] = static_cast<double>(document.size());
    bench::ResetRunState();
    unsetenv("BMAPI_SIM_DIR");
}
BENCHMARK(PlanOf1024Adapters)->ArgName("digests")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void PlanDigestOf1024Adapters(benchmark::State& state)
{
    SetUpPlans();
    WriteCatalogs(0);
    std::string document;
    if (!TakeAndWrite(document))
        state.SkipWithError("the plan is not the 3,072 writes expected");
    // As the writer does it: its ordered document to the canonical form.
    OrderedJson content = OrderedJson::parse(document);
    content.erase("digest");
    for (auto _ : state)
        benchmark::DoNotOptimize(CanonicalDigest(SortedJson(content)));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * document.size()));
    bench::ResetRunState();
    unsetenv("BMAPI_SIM_DIR");
}
BENCHMARK(PlanDigestOf1024Adapters)->Unit(benchmark::kMillisecond);

} // namespace
