// The simulated fleet: fleet files, NVRAM and option ROM layouts, the demo
// fleet and catalog, the substitute library's guards and the stand-in tool.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fleet.h"
#include "state/bmapi.h"
#include "test_support.h"

namespace {

void RemoveTree(const std::string& dir)
{
    std::string command = "rm -rf '" + dir + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
}

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

using sim::GetBe16;
using sim::GetBe32;

class SimDir : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = test::MakeTempDir("sim");
        ASSERT_FALSE(dir.empty());
    }
    void TearDown() override
    {
        BmapiUninitialize();
        unsetenv("BMAPI_SIM_DIR");
        RemoveTree(dir);
    }
    std::string dir;
};

TEST_F(SimDir, AdapterAndLibraryFilesRoundTrip)
{
    sim::AdapterSpec a;
    a.FileName = "adapter7.conf";
    a.Handle = 0x42;
    a.NicFlags = 0x3;
    a.NicType = 5;
    a.Description = " Adapter = (eth9)  "; // texts keep blanks and '='
    a.Name = "Name";
    a.Mac = "0011223344AA";
    a.VendorId = 0x1F0A, a.DeviceId = 0x4401, a.SubsystemVendorId = 0xFFFF, a.SubsystemId = 0x7C;
    a.NvramFile = "x.nvram";
    a.HasBootCodeText = true; // an empty override is still an override
    a.OptionRomText = "v1.2.3";
    a.HasOptionRomText = true;
    a.PhyNicStatus = 1, a.NicInfoStatus = 2, a.FwInfoStatus = 3;
    a.InitDiagStatus = 4, a.UnInitDiagStatus = 0xFFFFFFFF;
    a.ReadFailOffsets = {0x18, 0xFFFFFFF0};
    a.ReadStatus = 0x31;
    ASSERT_TRUE(sim::WriteAdapter(dir, a));
    sim::LibrarySpec l;
    l.Major = 2, l.Minor = 9, l.Build = 10, l.InitializeStatus = 5, l.CountStatus = 6, l.HandlesStatus = 7;
    l.Trace = true;
    ASSERT_TRUE(sim::WriteLibrary(dir, l));

    std::vector<sim::AdapterSpec> read;
    ASSERT_TRUE(sim::ReadAdapters(dir, read));
    ASSERT_EQ(read.size(), 1u);
    const sim::AdapterSpec& r = read[0];
    EXPECT_EQ(r.FileName, a.FileName);
    EXPECT_EQ(r.Handle, a.Handle);
    EXPECT_EQ(r.NicFlags, a.NicFlags);
    EXPECT_EQ(r.NicType, a.NicType);
    EXPECT_EQ(r.Description, a.Description);
    EXPECT_EQ(r.Name, a.Name);
    EXPECT_EQ(r.Mac, a.Mac);
    EXPECT_EQ(r.VendorId, a.VendorId);
    EXPECT_EQ(r.DeviceId, a.DeviceId);
    EXPECT_EQ(r.SubsystemVendorId, a.SubsystemVendorId);
    EXPECT_EQ(r.SubsystemId, a.SubsystemId);
    EXPECT_EQ(r.NvramFile, a.NvramFile);
    EXPECT_TRUE(r.HasBootCodeText);
    EXPECT_EQ(r.BootCodeText, "");
    EXPECT_TRUE(r.HasOptionRomText);
    EXPECT_EQ(r.OptionRomText, a.OptionRomText);
    EXPECT_EQ(r.PhyNicStatus, 1u);
    EXPECT_EQ(r.NicInfoStatus, 2u);
    EXPECT_EQ(r.FwInfoStatus, 3u);
    EXPECT_EQ(r.InitDiagStatus, 4u);
    EXPECT_EQ(r.UnInitDiagStatus, 0xFFFFFFFFu);
    EXPECT_EQ(r.ReadFailOffsets, a.ReadFailOffsets);
    EXPECT_EQ(r.ReadStatus, 0x31u);

    sim::LibrarySpec rl;
    ASSERT_TRUE(sim::ReadLibrary(dir, rl));
    EXPECT_EQ(rl.Major, 2u);
    EXPECT_EQ(rl.Minor, 9u);
    EXPECT_EQ(rl.Build, 10u);
    EXPECT_EQ(rl.InitializeStatus, 5u);
    EXPECT_EQ(rl.CountStatus, 6u);
    EXPECT_EQ(rl.HandlesStatus, 7u);
    EXPECT_TRUE(rl.Trace);
}

TEST_F(SimDir, HandWrittenFilesParseAsDocumented)
{
    std::ofstream(dir + "/adapter10.conf") << "name=second\n";
    std::ofstream(dir + "/adapter02.conf") << "handle=010\ndevice_id=0x1F\ncolour=blue\n"
                                              "subsystem_id=12abc\nvendor_id=0x1FFFFFFFF\nname=first";
    std::ofstream(dir + "/notes.txt") << "name=ignored\n";
    std::vector<sim::AdapterSpec> read;
    ASSERT_TRUE(sim::ReadAdapters(dir, read));
    ASSERT_EQ(read.size(), 2u);
    EXPECT_EQ(read[0].FileName, "adapter02.conf"); // file name order
    EXPECT_EQ(read[0].Handle, 8u);                 // C notation: octal
    EXPECT_EQ(read[0].DeviceId, 0x1Fu);
    EXPECT_EQ(read[0].SubsystemId, 0u); // not a number: ignored
    EXPECT_EQ(read[0].VendorId, 0u);    // beyond 32 bits: ignored
    EXPECT_EQ(read[0].Name, "first");   // last line without a line end
    EXPECT_FALSE(read[0].HasBootCodeText);
    EXPECT_EQ(read[1].Name, "second");

    sim::LibrarySpec l;
    ASSERT_TRUE(sim::ReadLibrary(dir, l)); // library.conf is optional
    EXPECT_EQ(l.Major, 3u);
    EXPECT_EQ(l.Minor, 0u);
    EXPECT_EQ(l.Build, 2u);
    EXPECT_FALSE(sim::ReadAdapters(dir + "/missing", read));
}

TEST(SimNvram, LayoutBytesAtTheirOffsets)
{
    sim::NvramSpec spec;
    spec.BootCodeMajor = 2, spec.BootCodeMinor = 7, spec.BootCodeBuild = 4;
    // Bytes with class 1 in their high nibble wherever the fields allow.
    const uint8_t mac[6] = {0x1F, 0x1E, 0x1D, 0x1C, 0x1B, 0x1A};
    std::memcpy(spec.Mac, mac, 6);
    spec.VendorId = 0x1F0A, spec.DeviceId = 0x1640, spec.SubsystemVendorId = 0x1F1F,
    spec.SubsystemId = 0x007C;
    spec.Rom = sim::OptionRom::Clp;
    spec.RomMajor = 3, spec.RomMinor = 1, spec.RomBuild = 9;
    std::vector<uint8_t> b = sim::BuildNvramImage(spec);

    ASSERT_GE(b.size(), 0x500u);
    EXPECT_EQ(GetBe32(b, 0), 0x669955AAu);
    EXPECT_EQ(GetBe32(b, 24) >> 28, 1u); // entry 0: class 1
    uint32_t length = GetBe32(b, 24) & 0x3FFFFF;
    uint32_t region = GetBe32(b, 28);
    EXPECT_EQ(region, 0x400u);
    EXPECT_GT(length, 0x2Cu);
    for (int i = 1; i < 8; ++i)
        EXPECT_EQ(GetBe32(b, 24 + 12 * i) & 0x3FFFFF, 0u) << "entry " << i;
    EXPECT_EQ(std::memcmp(&b[126], mac, 6), 0);
    EXPECT_EQ(b[150], 2);
    EXPECT_EQ(b[151], 7);
    EXPECT_EQ(b[152], 4);
    EXPECT_EQ(GetBe16(b, 160), 0x1640);
    EXPECT_EQ(GetBe16(b, 162), 0x1F0A);
    EXPECT_EQ(GetBe16(b, 164), 0x007C);
    EXPECT_EQ(GetBe16(b, 166), 0x1F1F);
    // The installed-version scan reads 16 type words from 0x18: the eight
    // beyond the directory must never look like an option ROM.
    for (size_t k = 8; k < 16; ++k)
        EXPECT_NE(b[0x18 + 12 * k] >> 4, 1) << "entry " << k;

    // CLP signature and version at region + LE16(+8) + 28.
    EXPECT_EQ(b[region], 0x55);
    EXPECT_EQ(b[region + 1], 0xAA);
    EXPECT_EQ(b[region + 0x20], 0x43);
    EXPECT_EQ(std::memcmp(&b[region + 0x24], "\x48\x20\x50\x4C", 4), 0);
    EXPECT_EQ(std::memcmp(&b[region + 0x29], "\x20\x52\x44", 3), 0);
    size_t v = region + (b[region + 8] | (b[region + 9] << 8)) + 28;
    EXPECT_EQ(b[v], 9);
    EXPECT_EQ(b[v + 1], 1);
    EXPECT_EQ(b[v + 2], 3);

    EXPECT_EQ(sim::BootCodeTextOf(b), "2.7.4");
    EXPECT_EQ(sim::OptionRomTextOf(b), "3.1.9");
    spec.Rom = sim::OptionRom::None;
    std::vector<uint8_t> bare = sim::BuildNvramImage(spec);
    EXPECT_EQ(GetBe32(bare, 24), 0u);
    EXPECT_EQ(sim::OptionRomTextOf(bare), "");
    std::vector<uint8_t> notNvram = sim::BuildOptionRomFile(sim::OptionRom::Pxe, 1, 2, 3);
    EXPECT_EQ(sim::BootCodeTextOf(notNvram), "");
    EXPECT_EQ(sim::OptionRomTextOf(notNvram), "");
    // A directory entry pointing outside the image yields no version.
    b[28] = 0x7F;
    EXPECT_EQ(sim::OptionRomTextOf(b), "");
}

TEST(SimNvram, OptionRomFilesCarryKindAndVersion)
{
    struct Case {
        sim::OptionRom Kind;
        const char* Signature; // the bytes the installed-version scan checks
        size_t Length;
    };
    const Case cases[] = {
        {sim::OptionRom::Pxe, "\x49\x44\x4E\x55", 4},
        {sim::OptionRom::Iscsi, "\x49", 1},
        {sim::OptionRom::Clp, "\x43", 1},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> f = sim::BuildOptionRomFile(c.Kind, 1, 5, 7);
        SCOPED_TRACE(sim::OptionRomName(c.Kind));
        ASSERT_GE(f.size(), 0x40u);
        EXPECT_EQ(f[0], 0x55);
        EXPECT_EQ(f[1], 0xAA);
        EXPECT_EQ(std::memcmp(&f[0x20], c.Signature, c.Length), 0);
        size_t v = size_t(f[8] | (f[9] << 8)) + 28;
        ASSERT_LT(v + 2, f.size());
        EXPECT_EQ(f[v], 7);
        EXPECT_EQ(f[v + 1], 5);
        EXPECT_EQ(f[v + 2], 1);
        EXPECT_EQ(sim::OptionRomKindOf(f.data(), f.size()), c.Kind);
        // The version bytes do not overlap the signature.
        EXPECT_GE(v, 0x2Cu);
    }
    std::vector<uint8_t> iscsi = sim::BuildOptionRomFile(sim::OptionRom::Iscsi, 1, 0, 0);
    EXPECT_EQ(std::memcmp(&iscsi[0x24], "\x20\x54\x42\x53", 4), 0);
    EXPECT_EQ(std::memcmp(&iscsi[0x29], "\x20\x20\x20", 3), 0);
    EXPECT_NE(std::memcmp(&iscsi[0x20], "\x49\x44\x4E\x55", 4), 0); // not taken for PXE
    uint8_t maj = 0, min = 0, bld = 0;
    std::vector<uint8_t> shortFile = {0x55, 0xAA, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    EXPECT_FALSE(sim::OptionRomVersionOf(shortFile.data(), shortFile.size(), maj, min, bld));
}

TEST(SimDemo, FleetMeetsWhatTheTestsAndTheDemoNeed)
{
    std::vector<sim::AdapterSpec> demo = sim::DemoAdapters();
    ASSERT_EQ(demo.size(), 3u);
    const sim::OptionRom roms[] = {sim::OptionRom::Pxe, sim::OptionRom::Clp, sim::OptionRom::Iscsi};
    bool leadingZeros = false;
    for (size_t i = 0; i < demo.size(); ++i) {
        SCOPED_TRACE(i);
        const sim::AdapterSpec& a = demo[i];
        EXPECT_NE(a.DeviceId, 0x4401u);
        for (size_t j = 0; j < i; ++j)
            EXPECT_NE(a.DeviceId, demo[j].DeviceId);
        leadingZeros = leadingZeros || a.SubsystemId < 0x1000;
        EXPECT_NE(a.Description.find(" (eth" + std::to_string(i) + ")"), std::string::npos);
        ASSERT_EQ(a.Mac.size(), 12u);
        EXPECT_EQ(a.Mac.find_first_not_of("0123456789ABCDEF"), std::string::npos);
        std::vector<uint8_t> nvram = sim::DemoNvram(i);
        sim::RomRegion region;
        ASSERT_TRUE(sim::FindOptionRomRegion(nvram, region));
        EXPECT_EQ(sim::OptionRomKindOf(&nvram[region.Offset], nvram.size() - region.Offset), roms[i]);
        EXPECT_EQ(GetBe16(nvram, 160), a.DeviceId);
        EXPECT_EQ(GetBe16(nvram, 162), a.VendorId);
        char mac[13];
        std::snprintf(mac, sizeof mac, "%02X%02X%02X%02X%02X%02X", nvram[126], nvram[127], nvram[128],
                      nvram[129], nvram[130], nvram[131]);
        EXPECT_EQ(a.Mac, mac);
    }
    EXPECT_TRUE(leadingZeros);
    EXPECT_TRUE(sim::DemoNvram(3).empty());
}

struct CatalogEntry {
    std::string PciId, File, Version;
};

std::vector<CatalogEntry> ReadCatalog(const std::string& path)
{
    std::istringstream in(ReadAll(path));
    std::vector<CatalogEntry> entries;
    CatalogEntry e;
    while (in >> e.PciId >> e.File >> e.Version)
        entries.push_back(e);
    return entries;
}

std::string PciIdOf(const sim::AdapterSpec& a)
{
    char text[32];
    std::snprintf(text, sizeof text, "%04X-%04X-%04X-%04X", a.VendorId, a.DeviceId, a.SubsystemVendorId,
                  a.SubsystemId);
    return text;
}

std::vector<uint8_t> Bytes(const std::string& path)
{
    std::vector<uint8_t> bytes;
    EXPECT_TRUE(sim::ReadFile(path, bytes)) << path;
    return bytes;
}

TEST_F(SimDir, DemoCatalogTokensMatchItsImages)
{
    ASSERT_TRUE(sim::WriteDemoCatalog(dir));
    std::vector<sim::AdapterSpec> demo = sim::DemoAdapters();
    auto adapterOf = [&](const std::string& pciId) {
        for (size_t i = 0; i < demo.size(); ++i)
            if (PciIdOf(demo[i]) == pciId)
                return int(i);
        return -1;
    };

    std::vector<CatalogEntry> bootcode = ReadCatalog(dir + "/bootcode/bootcode.info");
    ASSERT_FALSE(bootcode.empty());
    bool newerFor0 = false, sameOrOlder = false;
    for (const CatalogEntry& e : bootcode) {
        SCOPED_TRACE(e.File);
        int a = adapterOf(e.PciId);
        ASSERT_GE(a, 0);
        ASSERT_EQ(e.Version.size(), 6u);
        ASSERT_EQ(e.Version.find('.'), 2u);
        std::string token = {e.Version[1], '.', e.Version[3], '.', e.Version[5]};
        std::vector<uint8_t> image = Bytes(dir + "/bootcode/" + e.File);
        EXPECT_EQ(sim::BootCodeTextOf(image), token);
        std::string installed = sim::BootCodeTextOf(sim::DemoNvram(size_t(a)));
        newerFor0 = newerFor0 || (a == 0 && token > installed);
        sameOrOlder = sameOrOlder || token <= installed;
    }
    EXPECT_TRUE(newerFor0);
    EXPECT_TRUE(sameOrOlder);

    std::vector<CatalogEntry> pxe = ReadCatalog(dir + "/pxe/pxe.info");
    ASSERT_EQ(pxe.size(), 1u);
    EXPECT_EQ(adapterOf(pxe[0].PciId), 0);
    std::vector<uint8_t> rom = Bytes(dir + "/pxe/" + pxe[0].File);
    uint8_t maj = 0, min = 0, bld = 0;
    ASSERT_TRUE(sim::OptionRomVersionOf(rom.data(), rom.size(), maj, min, bld));
    EXPECT_EQ(sim::OptionRomKindOf(rom.data(), rom.size()), sim::OptionRom::Pxe);
    std::string pxeText = std::to_string(maj) + "." + std::to_string(min) + "." + std::to_string(bld);
    EXPECT_GT(pxeText, sim::OptionRomTextOf(sim::DemoNvram(0)));

    std::vector<CatalogEntry> clp = ReadCatalog(dir + "/clp/clp.info");
    ASSERT_EQ(clp.size(), 1u);
    EXPECT_EQ(adapterOf(clp[0].PciId), 1);
    rom = Bytes(dir + "/clp/" + clp[0].File);
    ASSERT_TRUE(sim::OptionRomVersionOf(rom.data(), rom.size(), maj, min, bld));
    EXPECT_EQ(sim::OptionRomKindOf(rom.data(), rom.size()), sim::OptionRom::Clp);
    std::string clpText = std::to_string(maj) + "." + std::to_string(min) + "." + std::to_string(bld);
    EXPECT_EQ("v" + clpText, clp[0].Version);
    EXPECT_GT(clpText, sim::OptionRomTextOf(sim::DemoNvram(1)));
}

// The library's own guards; the system's tests drive the rest of it.
TEST_F(SimDir, LibraryGuardsReadsAndRecords)
{
    sim::LibrarySpec library;
    library.Trace = true;
    ASSERT_TRUE(sim::WriteLibrary(dir, library));
    sim::AdapterSpec a = sim::DemoAdapters()[0];
    a.Name = std::string(148, 'N'); // as long as the field: no NUL
    a.ReadFailOffsets = {0x41};
    a.ReadStatus = 0; // an injected failure never reads as success
    ASSERT_TRUE(sim::WriteAdapter(dir, a));
    ASSERT_TRUE(sim::WriteFile(dir + "/" + a.NvramFile, sim::DemoNvram(0)));
    setenv("BMAPI_SIM_DIR", dir.c_str(), 1);

    uint32_t count = 0, word = 0;
    EXPECT_NE(BmapiGetNumPhyNicEx(&count), 0u); // not open yet
    ASSERT_EQ(BmapiInitializeEx(0), 0u);
    ASSERT_EQ(BmapiGetNumPhyNicEx(&count), 0u);
    ASSERT_EQ(count, 1u);

    PhyNic phyNic;
    std::memset(&phyNic, 0xEE, sizeof phyNic);
    phyNic.RecordVersion = 5;
    EXPECT_NE(BmapiGetPhyNic(1, &phyNic), 0u);
    phyNic.RecordVersion = PhyNicRecordVersion;
    ASSERT_EQ(BmapiGetPhyNic(1, &phyNic), 0u);
    EXPECT_EQ(std::string(phyNic.Name, sizeof phyNic.Name), a.Name);
    EXPECT_EQ(phyNic.Reserved1[0], 0); // the byte after Name is the library's own, not a NUL
    FwInfo fw{};
    fw.RecordVersion = FwInfoRecordVersion;
    ASSERT_EQ(BmapiGet5706FwInfo(1, &fw), 0u);
    EXPECT_STREQ(fw.BootCodeVersionText, "1.9.6");
    EXPECT_STREQ(fw.OptionRomVersionText, "1.4.2");

    EXPECT_NE(BmapiReadFirmware(1, 0, &word, 1, AccessKey), 0u); // not in diagnostic mode
    ASSERT_EQ(BmapiInitDiag(1), 0u);
    EXPECT_NE(BmapiReadFirmware(1, 0, &word, 1, "{5A1C9E42}"), 0u);
    ASSERT_EQ(BmapiReadFirmware(1, 0, &word, 1, AccessKey), 0u);
    EXPECT_EQ(std::memcmp(&word, "\x66\x99\x55\xAA", 4), 0);        // NVRAM byte order
    EXPECT_NE(BmapiReadFirmware(1, 0x40, &word, 1, AccessKey), 0u); // covers 0x41
    EXPECT_EQ(BmapiReadFirmware(1, 0x44, &word, 1, AccessKey), 0u);
    size_t size = sim::DemoNvram(0).size();
    EXPECT_EQ(BmapiReadFirmware(1, uint32_t(size - 4), &word, 1, AccessKey), 0u);
    EXPECT_NE(BmapiReadFirmware(1, uint32_t(size - 2), &word, 1, AccessKey), 0u);
    EXPECT_NE(BmapiReadFirmware(1, 0xFFFFFFF0, &word, 1, AccessKey), 0u);
    EXPECT_NE(BmapiReadFirmware(1, 4, &word, 0x40000000, AccessKey), 0u);
    EXPECT_NE(BmapiReadFirmware(2, 0, &word, 1, AccessKey), 0u); // unknown handle
    ASSERT_EQ(BmapiUnInitDiag(1), 0u);
    EXPECT_NE(BmapiReadFirmware(1, 0, &word, 1, AccessKey), 0u);
    BmapiUninitialize();
    EXPECT_NE(BmapiGetPhyNic(1, &phyNic), 0u);

    std::string trace = ReadAll(dir + "/bmapi.trace");
    EXPECT_NE(trace.find("BmapiInitializeEx 0\nBmapiGetNumPhyNicEx\nBmapiGetPhyNic 1\n"), std::string::npos);
    EXPECT_NE(trace.find("BmapiReadFirmware 1 0xFFFFFFF0 1\n"), std::string::npos);
    EXPECT_NE(trace.find("BmapiUnInitDiag 1\n"), std::string::npos);
    EXPECT_NE(trace.find("BmapiUninitialize\nBmapiGetPhyNic 1\n"), std::string::npos);
}

// Runs the stand-in tool from the build tree beside this test program.
int RunTool(const std::string& args)
{
    char self[4096] = {};
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string exe(self, n > 0 ? size_t(n) : 0);
    std::string tool = exe.substr(0, exe.rfind('/')) + "/../sim/wrenflash_sim";
    int status = std::system((tool + " " + args + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(SimDir, ToolWritesImagesKeepsBackupsAndRefusesDowngrades)
{
    ASSERT_TRUE(sim::WriteDemoFleet(dir + "/fleet"));
    ASSERT_TRUE(sim::WriteDemoCatalog(dir + "/cat"));
    setenv("BMAPI_SIM_DIR", (dir + "/fleet").c_str(), 1);
    const std::string mac0 = "02A45B1C3E01", mac1 = "02A45B1C3E02", mac2 = "02A45B1C3E03";
    const std::string bc = dir + "/cat/bootcode/gs210_bc_201.bin";
    const std::string pxe = dir + "/cat/pxe/gs210_pxe_150.rom";
    const std::string clp = dir + "/cat/clp/gs220_clp_312.rom";
    std::vector<uint8_t> before = sim::DemoNvram(0);

    ASSERT_EQ(RunTool(mac0 + " upgrade -bc " + bc + " " + dir + "/new/dir/b0"), 0);
    EXPECT_EQ(Bytes(dir + "/new/dir/b0"), before);
    std::vector<uint8_t> after = Bytes(dir + "/fleet/adapter0.nvram");
    EXPECT_EQ(sim::BootCodeTextOf(after), "2.0.1");
    ASSERT_EQ(RunTool(mac0 + " upgrade -mba " + pxe + " " + dir + "/b1"), 0);
    after = Bytes(dir + "/fleet/adapter0.nvram");
    EXPECT_EQ(sim::OptionRomTextOf(after), "1.5.0");
    sim::RomRegion region;
    ASSERT_TRUE(sim::FindOptionRomRegion(after, region));
    EXPECT_EQ(region.Length, sim::BuildOptionRomFile(sim::OptionRom::Pxe, 1, 5, 0).size());

    // Older boot code, or another option ROM kind, only with -F.
    const std::string older = dir + "/older.bin";
    ASSERT_TRUE(sim::WriteFile(older, before));
    EXPECT_EQ(RunTool(mac0 + " upgrade -bc " + older + " " + dir + "/b2"), 4);
    EXPECT_EQ(RunTool(mac2 + " upgrade -mba " + clp + " " + dir + "/b3"), 4);
    EXPECT_FALSE(sim::ReadFile(dir + "/b3", after)); // nothing written when refused
    EXPECT_EQ(sim::OptionRomTextOf(Bytes(dir + "/fleet/adapter2.nvram")), "2.2.1");
    EXPECT_EQ(RunTool(mac0 + " upgrade -F -bc " + older + " " + dir + "/b2"), 0);
    EXPECT_EQ(sim::BootCodeTextOf(Bytes(dir + "/fleet/adapter0.nvram")), "1.9.6");

    EXPECT_EQ(RunTool(mac1 + " upgrade -bc " + bc), 1);
    EXPECT_EQ(RunTool(mac1 + " update -bc " + bc + " " + dir + "/b4"), 1);
    EXPECT_EQ(RunTool("02A45B1C3E0F upgrade -bc " + bc + " " + dir + "/b4"), 2);
    EXPECT_EQ(RunTool(mac1 + " upgrade -bc " + pxe + " " + dir + "/b4"), 3);
    EXPECT_EQ(RunTool(mac1 + " upgrade -mba " + bc + " " + dir + "/b4"), 3);
    EXPECT_EQ(RunTool(mac1 + " upgrade -mba " + dir + "/missing " + dir + "/b4"), 3);
    EXPECT_EQ(RunTool(mac1 + " upgrade -mba " + clp + " " + dir + "/fleet/adapter0.nvram/b4"), 5);
    unsetenv("BMAPI_SIM_DIR");
    EXPECT_EQ(RunTool(mac1 + " upgrade -mba " + clp + " " + dir + "/b4"), 7);
}

} // namespace
