// Writes the seed corpora of the fuzz targets from the file layouts:
//   make_fuzz_corpus DIR    (DIR/<target>/<seed>, replacing what is there)
// The committed fuzz/corpus is this program's output.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "adapter_input.h"
#include "fleet.h"
#include "planning/plan_document.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

struct Seed {
    const char* Name;
    Bytes Data;
};

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

const std::string Id = "1A2B-3C4D-5E6F-7A8B";

// The first byte is the answer mode and the installed kinds (see
// fuzz_catalog.cpp); the rest is catalog text.
Bytes Catalog(uint8_t mode, const std::string& text)
{
    Bytes b(1, mode);
    b.insert(b.end(), text.begin(), text.end());
    return b;
}

std::vector<Seed> CatalogSeeds()
{
    return {
        {"newer-images", Catalog(0x00, Id + " nvram.bin v2.1.0\n" + Id + " pxe.rom v3.2.1\n")},
        {"forced-older", Catalog(0x1D, Id + " pxe.rom v1.0.0\n" + Id + " clp.rom v3.0.9\n")},
        {"defaults-two-per-line", Catalog(0x2E, Id + " clp.rom v3.10.2 " + Id + " nvram.bin 12.1.0\n")},
        {"spread-over-lines", Catalog(0x3C, Id + "\n\tnvram.bin\r\n\fv2.0.5\v\n")},
        {"long-pci-id", Catalog(0x01, Id + "XY pxe.rom v2.1.1\n" + Id + " clp.rom v3.1.3\n")},
        {"lower-case-and-missing", Catalog(0x00, "1a2b-3c4d-5e6f-7a8b pxe.rom v2.0.0\n" + Id +
                                                     " missing.rom v2.0.0\n" + Id + " folder v2.0.0\n")},
        {"bad-versions", Catalog(0x00, Id + " nvram.bin 2.0.1\n" + Id + " clp.rom v3\n" + Id + " a ..\n")},
        {"incomplete-last", Catalog(0x00, Id + " pxe.rom v2.0.0\n" + Id + " nvram.bin")},
        {"empty", Catalog(0x00, "")},
    };
}

Bytes NvramWithIpmi()
{
    sim::NvramSpec spec;
    spec.BootCodeMajor = 2, spec.BootCodeMinor = 6;
    spec.Rom = sim::OptionRom::Pxe, spec.RomMajor = 1, spec.RomMinor = 6, spec.RomBuild = 3;
    Bytes b = sim::BuildNvramImage(spec);
    // Directory entry 1: an IPMI region (type 3) at 0x600 whose text lies 0x10 further on.
    constexpr size_t Region = 0x600;
    sim::PutBe32(b, 20 + 12 + 4, (3u << 24) | 0x100);
    sim::PutBe32(b, 20 + 12 + 8, Region);
    sim::PutBe16(b, Region + 10, 0x10);
    const char text[] = "ASFIPMI v1.05";
    std::memcpy(&b[Region + 0x10], text, sizeof text - 1);
    return b;
}

std::vector<Seed> ImageSeeds()
{
    sim::NvramSpec old;
    old.BootCodeMajor = 1, old.BootCodeMinor = 9, old.BootCodeBuild = 6;
    old.Rom = sim::OptionRom::Pxe, old.RomMajor = 1, old.RomMinor = 4, old.RomBuild = 2;
    Bytes asf = {0x41, 0x53, 0x46, 0x1A, 0, 0, 0, 0};
    asf.resize(20, 'x');
    for (char c : std::string("ASF v2.07"))
        asf.push_back(static_cast<uint8_t>(c));
    return {
        {"nvram-old-directory", sim::BuildNvramImage(old)},
        {"nvram-typed-directory-ipmi", NvramWithIpmi()},
        {"option-rom-pxe", sim::BuildOptionRomFile(sim::OptionRom::Pxe, 1, 5, 0)},
        {"option-rom-clp", sim::BuildOptionRomFile(sim::OptionRom::Clp, 3, 1, 2)},
        {"asf", asf},
        {"empty", {}},
    };
}

std::vector<Seed> AnswerSeeds()
{
    return {
        {"yes-no-quit", Text("y\nn\nq\n")},
        {"defaults", Text("\n\n\n\nyes\n")},
        {"capitals-and-blanks", Text("Yes \nQUIT\nYES\nyES\n")},
        {"long-line", Text(std::string(100, 'y') + "\nQuit\n")},
        {"no-line-end", Text("y")},
        {"crlf", Text("y\r\nn\r\n")},
    };
}

// The demo fleet as the fake library serves it.
fuzz::FakeLibrary DemoLibrary()
{
    fuzz::FakeLibrary library;
    const std::vector<sim::AdapterSpec> specs = sim::DemoAdapters();
    library.ReportedCount = static_cast<uint32_t>(specs.size());
    for (size_t i = 0; i < specs.size(); ++i) {
        const sim::AdapterSpec& s = specs[i];
        fuzz::FakeAdapter a;
        a.Nic.NicType = NicTypeSupported;
        a.Nic.Handle = static_cast<uint32_t>(i + 1);
        a.Nic.VendorId = s.VendorId, a.Nic.DeviceId = s.DeviceId;
        a.Nic.SubsystemVendorId = s.SubsystemVendorId, a.Nic.SubsystemId = s.SubsystemId;
        std::snprintf(a.Nic.Description, sizeof a.Nic.Description, "%s", s.Description.c_str());
        std::snprintf(a.Nic.Name, sizeof a.Nic.Name, "%s", s.Name.c_str());
        std::snprintf(a.Nic.MacText, sizeof a.Nic.MacText, "%s", s.Mac.c_str());
        Bytes nvram = sim::DemoNvram(i);
        std::snprintf(a.Fw.BootCodeVersionText, sizeof a.Fw.BootCodeVersionText, "%s",
                      sim::BootCodeTextOf(nvram).c_str());
        std::snprintf(a.Fw.OptionRomVersionText, sizeof a.Fw.OptionRomVersionText, "%s",
                      sim::OptionRomTextOf(nvram).c_str());
        // The directory and the option ROM header are all the scan reads.
        nvram.resize(sim::NvramOptionRomOffset + 0x40);
        a.Nvram = nvram;
        library.Adapters.push_back(a);
    }
    return library;
}

std::vector<Seed> AdapterSeeds()
{
    std::vector<Seed> seeds = {{"demo-fleet", fuzz::EncodeLibrary(DemoLibrary())}};

    fuzz::FakeLibrary faults = DemoLibrary();
    faults.Adapters[0].FailingRead = 2;
    faults.Adapters[1].UnInitDiagStatus = 7;
    faults.Adapters[2].NicInfoStatus = 5;
    seeds.push_back({"faults", fuzz::EncodeLibrary(faults)});

    fuzz::FakeLibrary unended = DemoLibrary();
    for (fuzz::FakeAdapter& a : unended.Adapters) {
        std::memset(a.Nic.Description, 'D', sizeof a.Nic.Description);
        std::memcpy(a.Nic.Description + 100, " (eth9)", 7);
        std::memset(a.Nic.Name, 'N', sizeof a.Nic.Name);
        std::memset(a.Nic.MacText, '7', sizeof a.Nic.MacText);
        std::memset(a.Fw.BootCodeVersionText, '.', sizeof a.Fw.BootCodeVersionText);
    }
    seeds.push_back({"unended-texts", fuzz::EncodeLibrary(unended)});

    fuzz::FakeLibrary more = DemoLibrary();
    more.ReportedCount = 5;
    more.Adapters[1].Nic.DeviceId = UnsupportedDeviceId;
    more.Adapters[2].Nic.Handle = 1;
    seeds.push_back({"more-handles-than-adapters", fuzz::EncodeLibrary(more)});

    fuzz::FakeLibrary old = DemoLibrary();
    old.Major = 3, old.Minor = 0, old.Build = 1;
    seeds.push_back({"old-library", fuzz::EncodeLibrary(old)});
    return seeds;
}

std::vector<Seed> CommandLineSeeds()
{
    std::vector<Seed> seeds;
    for (const auto& [name, line] :
         std::vector<std::pair<const char*, std::string>>{{"listing", "-c"},
                                                          {"help", "-h"},
                                                          {"silent-forced", "-s\n-F"},
                                                          {"defaults", "-y"},
                                                          {"image-file", "-i\nfile.bin"},
                                                          {"refused-combination", "-c\n-s"},
                                                          {"unknown", "-x"},
                                                          {"grouped", "-sF"},
                                                          {"no-dash", "c"},
                                                          {"missing-argument", "-i"},
                                                          {"none", ""}})
        seeds.push_back({name, Text(line)});
    return seeds;
}

// A plan of two adapters: texts that are not UTF-8, an image without a
// version, warnings.
Plan SeedPlan()
{
    Plan plan;
    plan.Library = {3, 0, 2};
    plan.Catalogs = {CatalogState::Present, CatalogState::Present, CatalogState::Missing};
    plan.Forced = true;
    for (uint32_t i = 0; i < 2; ++i) {
        AdapterPlan adapter;
        adapter.Index = i;
        adapter.Mac = "02A0B0C0D00" + std::to_string(i);
        adapter.PciId = "5A17-200" + std::to_string(i + 1) + "-5A17-0100";
        adapter.Name = i == 0 ? "Adapter \xff" : "Adapter 1";
        adapter.Interface = "eth" + std::to_string(i);
        adapter.BootCode = FirmwareVersion{1, 9, 6};
        adapter.Pxe = FirmwareVersion{8, 3, 5};
        PlannedWrite write;
        write.Kind = i == 0 ? ImageKind::BootCode : ImageKind::Pxe;
        write.Image =
            i == 0 ? "/opt/orvan/nic_fw/nx2/bootcode/bc.bin" : "/opt/orvan/nic_fw/nx2/pxe/sub/p\xfe.rom";
        write.Identity.Known = true;
        write.Identity.Size = i == 0 ? 2048 : 512;
        write.Identity.Sha256.fill(i == 0 ? 0xA5 : 0x5A);
        write.From = FirmwareVersion{1, 9, 6};
        if (i == 0)
            write.To = FirmwareVersion{2, 0, 1};
        write.Backup = "/var/opt/orvan/nicfw_backup/" + adapter.Mac + ".bc1.9.6.p8.3.5.bin";
        write.Forced = true;
        adapter.Writes.push_back(write);
        plan.Adapters.push_back(adapter);
    }
    plan.Warnings = {
        "adapter 1 (MAC 02A0B0C0D001): CLP image /opt/orvan/nic_fw/nx2/clp/c\xfe.rom cannot be read; "
        "the run would not write it"};
    return plan;
}

// The first byte: 0 the document as it is, 1 with its digest renewed (see
// fuzz_plan_document.cpp).
Bytes PlanSeed(uint8_t mode, const std::string& text)
{
    Bytes b(1, mode);
    b.insert(b.end(), text.begin(), text.end());
    return b;
}

std::vector<Seed> PlanDocumentSeeds()
{
    const std::string document = PlanDocument(SeedPlan());
    nlohmann::ordered_json outside = nlohmann::ordered_json::parse(document);
    outside["adapters"][0]["writes"][0]["image"] = "/opt/orvan/nic_fw/nx2/bootcode/../../../../etc/shadow";
    nlohmann::ordered_json later = nlohmann::ordered_json::parse(document);
    later["format_version"] = "1.4";
    later["added_later"] = {1, 2};
    nlohmann::ordered_json twice = nlohmann::ordered_json::parse(document);
    twice["adapters"][1]["mac"] = twice["adapters"][0]["mac"];
    return {
        {"saved-plan", PlanSeed(0, document)},
        {"cut-short", PlanSeed(0, document.substr(0, document.size() / 2))},
        {"image-outside-its-catalog", PlanSeed(1, outside.dump(1))},
        {"later-minor-format", PlanSeed(1, later.dump())},
        {"one-mac-twice", PlanSeed(1, twice.dump(2))},
    };
}

bool WriteSeeds(const fs::path& dir, const std::vector<Seed>& seeds)
{
    fs::remove_all(dir);
    fs::create_directories(dir);
    for (const Seed& seed : seeds)
        if (!sim::WriteFile((dir / seed.Name).string(), seed.Data))
            return false;
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    const fs::path root = argv[1];
    const bool ok = WriteSeeds(root / "catalog", CatalogSeeds()) &&
                    WriteSeeds(root / "image", ImageSeeds()) && WriteSeeds(root / "answers", AnswerSeeds()) &&
                    WriteSeeds(root / "adapters", AdapterSeeds()) &&
                    WriteSeeds(root / "command_line", CommandLineSeeds()) &&
                    WriteSeeds(root / "plan_document", PlanDocumentSeeds());
    if (!ok)
        std::fprintf(stderr, "could not write the corpus under %s\n", argv[1]);
    return ok ? 0 : 1;
}
