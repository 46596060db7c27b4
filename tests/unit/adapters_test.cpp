// Discovery, installed versions and the NVRAM directory scan, against the
// substitute library serving a fleet made by each test.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "adapters/bmapi.h"
#include "adapters/discovery.h"
#include "adapters/installed.h"
#include "adapters/records.h"
#include "fleet.h"
#include "test_support.h"

namespace {

using sim::PutBe32;

class Fleet : public ::testing::Test {
protected:
    void SetUp() override
    {
        char name[] = "/tmp/tidemark-fleet.XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir = name;
        setenv("BMAPI_SIM_DIR", dir.c_str(), 1);
        gRun = {};
        sim::LibrarySpec library;
        library.Trace = true;
        ASSERT_TRUE(sim::WriteLibrary(dir, library));
    }
    void TearDown() override
    {
        BmapiUninitialize();
        std::string command = "rm -rf '" + dir + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);
        test::ReleaseRunState();
    }

    // An adapter of the supported kind with an NVRAM image.
    sim::AdapterSpec Adapter(int index, sim::OptionRom rom = sim::OptionRom::Pxe)
    {
        sim::AdapterSpec spec;
        spec.FileName = "adapter" + std::to_string(index) + ".conf";
        spec.Description = "Test Adapter (eth" + std::to_string(index) + ")";
        spec.Name = "Test Adapter " + std::to_string(index);
        spec.Mac = "00112233AAB" + std::to_string(index);
        spec.VendorId = 0x1F0A;
        spec.DeviceId = 0x2100 + index;
        spec.SubsystemVendorId = 0x1F0B;
        spec.SubsystemId = 0x7C;
        spec.NvramFile = "adapter" + std::to_string(index) + ".nvram";
        sim::NvramSpec nvram;
        nvram.BootCodeMajor = 1;
        nvram.BootCodeMinor = 9;
        nvram.BootCodeBuild = 6;
        nvram.Rom = rom;
        nvram.RomMajor = 8;
        nvram.RomMinor = 3;
        nvram.RomBuild = 5;
        images[spec.NvramFile] = sim::BuildNvramImage(nvram);
        return spec;
    }

    void Write(const std::vector<sim::AdapterSpec>& adapters)
    {
        for (const auto& spec : adapters) {
            ASSERT_TRUE(sim::WriteAdapter(dir, spec));
            auto image = images.find(spec.NvramFile);
            if (image != images.end()) {
                ASSERT_TRUE(sim::WriteFile(dir + "/" + spec.NvramFile, image->second));
            }
        }
    }

    // Initialise, discover and read the installed versions, as the run modes do.
    void Inventory()
    {
        ASSERT_EQ(BmapiInitializeEx(0), 0u);
        DiscoverAdapters();
        if (gRun.AdapterCount > 0) {
            ASSERT_EQ(ReadInstalledFirmware(), 0);
        }
    }

    std::vector<std::string> Trace() const
    {
        std::vector<std::string> lines;
        std::string text = test::ReadText(dir + "/bmapi.trace");
        for (size_t start = 0, end; start < text.size(); start = end + 1) {
            end = text.find('\n', start);
            if (end == std::string::npos)
                end = text.size();
            lines.push_back(text.substr(start, end - start));
        }
        return lines;
    }

    bool Traced(const std::string& line) const
    {
        for (const auto& l : Trace())
            if (l == line)
                return true;
        return false;
    }

    std::string dir;
    std::map<std::string, std::vector<uint8_t>> images;
    test::ConsoleCapture console;
};

TEST(VersionText, OneCharacterPerComponentAroundTheFirstPoint)
{
    FirmwareVersion v{};
    ASSERT_TRUE(ParseVersionText("2.1.9", 32, v));
    EXPECT_EQ(v.Major * 100 + v.Minor * 10 + v.Build, 219u);
    ASSERT_TRUE(ParseVersionText("v2.1.9", 32, v));
    EXPECT_EQ(v.Major * 100 + v.Minor * 10 + v.Build, 219u);
    ASSERT_TRUE(ParseVersionText("10.2.3", 32, v));
    EXPECT_EQ(v.Major * 100 + v.Minor * 10 + v.Build, 23u);
    ASSERT_TRUE(ParseVersionText("2.x.y", 32, v));
    EXPECT_EQ(v.Major * 100 + v.Minor * 10 + v.Build, 200u);
    EXPECT_FALSE(ParseVersionText("2019", 32, v));
}

TEST(VersionText, StaysWithinItsField)
{
    // A point at the field's last position, with no NUL in the field: the
    // characters after it lie outside and read as 0.
    char field[32 + 4];
    std::memset(field, '7', sizeof(field));
    field[31] = '.';
    FirmwareVersion v{};
    ASSERT_TRUE(ParseVersionText(field, 32, v));
    EXPECT_EQ(v.Major, 7u);
    EXPECT_EQ(v.Minor, 0u);
    EXPECT_EQ(v.Build, 0u);
    ASSERT_TRUE(ParseVersionText(".1.2", 32, v));
    EXPECT_EQ(v.Major, 0u);
    EXPECT_EQ(v.Minor, 1u);
    EXPECT_EQ(v.Build, 2u);
}

TEST(InterfaceName, TheLastParenthesisedTokenLosesItsFirstAndLastCharacter)
{
    struct Case {
        const char* Description;
        const char* Name;
    } cases[] = {
        {"Adapter (eth1)", "eth1"},
        {"Adapter without interface", ""},
        {"(eth0) middle (eth3)", "eth3"},
        {"x(eth0)", "(eth0"},
        {"Adapter (", ""},
        {"Adapter ()", ""},
        {"(a", ""},
        {"two  spaces (ens1f0)", "ens1f0"},
    };
    InstalledFirmware installed{};
    gRun = {};
    gRun.Installed = &installed;
    for (const Case& c : cases) {
        installed = {};
        std::strncpy(installed.Description, c.Description, TextFieldSize - 1);
        ExtractInterfaceName();
        EXPECT_STREQ(installed.InterfaceName, c.Name) << c.Description;
    }
    // A full field without a NUL stops at its last byte.
    installed = {};
    std::memset(installed.Description, 'a', TextFieldSize);
    installed.Description[0] = '(';
    ExtractInterfaceName();
    EXPECT_EQ(std::string(installed.InterfaceName), std::string(77, 'a'));
    gRun = {};
}

TEST_F(Fleet, SupportedAdaptersAreTakenInLibraryOrder)
{
    auto a0 = Adapter(0), a1 = Adapter(1), a2 = Adapter(2), a3 = Adapter(3), a4 = Adapter(4), a5 = Adapter(5),
         a6 = Adapter(6), a7 = Adapter(7);
    a1.NicInfoStatus = 5; // not described: dropped
    a4.DeviceId = 0x4401; // unsupported device
    a5.NicFlags = 0x3;    // bit 0 set
    a6.NicType = 3;
    a7.NicFlags = 0x2; // other bits do not matter
    a3.PhyNicStatus = 9;
    Write({a0, a1, a2, a3, a4, a5, a6, a7});
    Inventory();
    ASSERT_EQ(gRun.AdapterCount, 3u);
    EXPECT_STREQ(gRun.Adapters[0].Nic.MacText, "00112233AAB0");
    EXPECT_STREQ(gRun.Adapters[1].Nic.MacText, "00112233AAB2");
    EXPECT_STREQ(gRun.Adapters[2].Nic.MacText, "00112233AAB7");
    EXPECT_EQ(gRun.Adapters[2].DiagOpen, 0u);
    EXPECT_FALSE(Traced("BmapiGetBRCMNicInfoEx 5")) << "a device that fails a test is not asked further";
}

TEST_F(Fleet, NoAdaptersOrFailingListCallsLeaveTheCountZero)
{
    Inventory();
    EXPECT_EQ(gRun.AdapterCount, 0u);
    EXPECT_FALSE(Traced("BmapiGetAllPhyNicHandles 0"));
    BmapiUninitialize();

    Write({Adapter(0)});
    sim::LibrarySpec library;
    library.Trace = true;
    library.HandlesStatus = 7;
    ASSERT_TRUE(sim::WriteLibrary(dir, library));
    EXPECT_EQ((BmapiInitializeEx(0), DiscoverAdapters()), 2);
    EXPECT_EQ(gRun.AdapterCount, 0u);
    BmapiUninitialize();

    library.HandlesStatus = 0;
    library.CountStatus = 7;
    ASSERT_TRUE(sim::WriteLibrary(dir, library));
    EXPECT_EQ((BmapiInitializeEx(0), DiscoverAdapters()), 2);
    EXPECT_EQ(gRun.AdapterCount, 0u);
}

TEST_F(Fleet, InstalledRecordCopiesIdentityAndParsesVersions)
{
    auto a = Adapter(0, sim::OptionRom::Pxe);
    a.Name = std::string(148, 'N');                    // no NUL within the library's field
    a.Description = std::string(150, 'D') + " (eth9)"; // cut to 79: the token is gone
    a.Mac = "00112233AABBC";                           // 13 characters, no NUL
    a.BootCodeText = "10.2.3";
    a.HasBootCodeText = true;
    Write({a});
    Inventory();
    ASSERT_EQ(gRun.AdapterCount, 1u);
    const InstalledFirmware& nic = gRun.Installed[0];
    EXPECT_EQ(std::string(nic.Name), std::string(79, 'N'));
    EXPECT_EQ(std::string(nic.Description), std::string(79, 'D'));
    EXPECT_STREQ(nic.InterfaceName, "");
    EXPECT_STREQ(nic.MacText, "00112233AABB");
    EXPECT_EQ(nic.VendorId, 0x1F0A);
    EXPECT_EQ(nic.DeviceId, 0x2100);
    EXPECT_EQ(nic.SubsystemVendorId, 0x1F0B);
    EXPECT_EQ(nic.SubsystemId, 0x7C);
    EXPECT_EQ(nic.BootCodeMajor, 0u);
    EXPECT_EQ(nic.BootCodeMinor, 2u);
    EXPECT_EQ(nic.BootCodeBuild, 3u);
    EXPECT_EQ(nic.InstalledFlags, InstBootCodeVersion | InstPxeVersion);
    EXPECT_EQ(nic.PxeMajor * 100 + nic.PxeMinor * 10 + nic.PxeBuild, 835);
    EXPECT_EQ(nic.ClpMajor + nic.ClpMinor + nic.ClpBuild, 0u);
    EXPECT_EQ(gRun.CurrentAdapter, 0u);
}

TEST_F(Fleet, ShortOrPointlessVersionTextsCarryNoVersion)
{
    auto a = Adapter(0, sim::OptionRom::Pxe), b = Adapter(1, sim::OptionRom::Pxe);
    a.BootCodeText = "1.2";
    a.HasBootCodeText = true;
    a.OptionRomText = "8.3";
    a.HasOptionRomText = true;
    b.BootCodeText = "v1962";
    b.HasBootCodeText = true;
    b.OptionRomText = std::string(32, '8'); // full field, no point, no NUL
    b.HasOptionRomText = true;
    Write({a, b});
    Inventory();
    ASSERT_EQ(gRun.AdapterCount, 2u);
    for (uint32_t i = 0; i < 2; ++i) {
        const InstalledFirmware& nic = gRun.Installed[i];
        EXPECT_EQ(nic.InstalledFlags, 0u);
        EXPECT_EQ(nic.BootCodeMajor + nic.BootCodeMinor + nic.BootCodeBuild, 0u);
        EXPECT_EQ(nic.PxeMajor + nic.PxeMinor + nic.PxeBuild, 0);
    }
    EXPECT_FALSE(Traced("BmapiInitDiag 1")) << "no option ROM version, no scan";
}

TEST_F(Fleet, TheScanTellsTheOptionRomKind)
{
    Write({Adapter(0, sim::OptionRom::Pxe), Adapter(1, sim::OptionRom::Clp),
           Adapter(2, sim::OptionRom::Iscsi), Adapter(3, sim::OptionRom::None)});
    Inventory();
    ASSERT_EQ(gRun.AdapterCount, 4u);
    EXPECT_EQ(gRun.Installed[0].InstalledFlags, InstBootCodeVersion | InstPxeVersion);
    EXPECT_EQ(gRun.Installed[1].InstalledFlags, InstBootCodeVersion | InstClpVersion);
    EXPECT_EQ(gRun.Installed[2].InstalledFlags, InstBootCodeVersion | InstIscsiVersion);
    EXPECT_EQ(gRun.Installed[1].ClpMajor * 100 + gRun.Installed[1].ClpMinor * 10 + gRun.Installed[1].ClpBuild,
              835u);
    EXPECT_EQ(gRun.Installed[2].ClpMajor * 100 + gRun.Installed[2].ClpMinor * 10 + gRun.Installed[2].ClpBuild,
              835u);
    EXPECT_EQ(gRun.Installed[0].ClpMajor + gRun.Installed[0].ClpMinor + gRun.Installed[0].ClpBuild, 0u);
    for (uint32_t i = 0; i < 4; ++i)
        EXPECT_EQ(gRun.Adapters[i].DiagOpen, 0u);
}

TEST_F(Fleet, OnlyClassOneEntriesUpToTheSixteenthCount)
{
    auto a = Adapter(0, sim::OptionRom::Pxe);
    auto a1 = Adapter(1, sim::OptionRom::Clp);
    a.OptionRomText = "8.3.5";
    a.HasOptionRomText = true;
    a1.OptionRomText = "8.3.5";
    a1.HasOptionRomText = true;
    auto& image = images[a.NvramFile];
    image.resize(0x2000);
    // Entry 0 demoted to class 2: no kind recorded from it; the same region
    // listed as entry 15 (type word at 0xCC) with class 1 is found.
    const uint32_t typeWord0 = (uint32_t(image[0x18]) << 24) | (uint32_t(image[0x19]) << 16) |
                               (uint32_t(image[0x1A]) << 8) | image[0x1B];
    PutBe32(image, 0x18, (typeWord0 & 0x0FFFFFFF) | 0x20000000);
    PutBe32(image, 0xCC, (typeWord0 & 0x0FFFFFFF) | 0x10000000);
    PutBe32(image, 0xD0, 0x400);
    // Adapter 1: the CLP region is entry 0; a PXE copy at 0x1000 as entry 1
    // comes second and does not count.
    auto& clpImage = images[a1.NvramFile];
    clpImage.resize(0x2000);
    std::copy(images[a.NvramFile].begin() + 0x400, images[a.NvramFile].begin() + 0x500,
              clpImage.begin() + 0x1000);
    PutBe32(clpImage, 0x18 + 12, 0x10000100);
    PutBe32(clpImage, 0x1C + 12, 0x1000);
    Write({a, a1});
    Inventory();
    ASSERT_EQ(gRun.AdapterCount, 2u);
    EXPECT_EQ(gRun.Installed[0].InstalledFlags, InstBootCodeVersion | InstPxeVersion);
    EXPECT_TRUE(Traced("BmapiReadFirmware 1 0xCC 1"));
    EXPECT_EQ(gRun.Installed[1].InstalledFlags, InstBootCodeVersion | InstClpVersion);
}

TEST_F(Fleet, NoClassOneEntryLeavesOnlyThePxeBytes)
{
    auto a = Adapter(0, sim::OptionRom::Pxe);
    a.OptionRomText = "8.3.5";
    a.HasOptionRomText = true;
    auto& image = images[a.NvramFile];
    image[0x18] = static_cast<uint8_t>((image[0x18] & 0x0F) | 0x00);
    Write({a});
    Inventory();
    EXPECT_EQ(gRun.Installed[0].InstalledFlags, InstBootCodeVersion);
    EXPECT_EQ(gRun.Installed[0].PxeMajor * 100 + gRun.Installed[0].PxeMinor * 10 + gRun.Installed[0].PxeBuild,
              835);
}

TEST_F(Fleet, ImageOffsetsAnywhereAreHarmless)
{
    // Offsets at the top of the 32-bit range cannot hold a signature word;
    // an offset past the NVRAM makes the library refuse the read.
    for (uint32_t offset : {0xFFFFFFF0u, 0xFFFFFFFFu, 0xFFFFFFD4u, 0x7FFFFFF0u}) {
        test::ReleaseRunState();
        auto a = Adapter(0, sim::OptionRom::Pxe);
        a.OptionRomText = "8.3.5";
        a.HasOptionRomText = true;
        PutBe32(images[a.NvramFile], 0x1C, offset);
        Write({a});
        console.Start();
        Inventory();
        std::string shown = console.Stop();
        ASSERT_EQ(gRun.AdapterCount, 1u);
        EXPECT_EQ(gRun.Installed[0].InstalledFlags, InstBootCodeVersion) << std::hex << offset;
        EXPECT_EQ(gRun.Adapters[0].DiagOpen, 0u);
        if (offset > 0xFFFFFFFFu - 0x2B)
            EXPECT_EQ(shown, "") << std::hex << offset;
        else
            EXPECT_EQ(shown, "Failed to read NVRAM!\r\n") << std::hex << offset;
        BmapiUninitialize();
    }
}

TEST_F(Fleet, AFailedReadEndsTheScanAndLeavesDiagnosticMode)
{
    for (uint32_t failAt : {0x18u, 0x1Cu, 0x420u}) {
        test::ReleaseRunState();
        auto a = Adapter(0, sim::OptionRom::Pxe);
        a.ReadFailOffsets = {failAt};
        Write({a, Adapter(1, sim::OptionRom::Clp)});
        console.Start();
        Inventory();
        EXPECT_EQ(console.Stop(), "Failed to read NVRAM!\r\n") << std::hex << failAt;
        ASSERT_EQ(gRun.AdapterCount, 2u);
        EXPECT_EQ(gRun.Installed[0].InstalledFlags, InstBootCodeVersion);
        EXPECT_EQ(gRun.Installed[0].PxeMajor, 8);
        EXPECT_EQ(gRun.Adapters[0].DiagOpen, 0u);
        EXPECT_TRUE(Traced("BmapiUnInitDiag 1"));
        EXPECT_EQ(gRun.Installed[1].InstalledFlags, InstBootCodeVersion | InstClpVersion);
        BmapiUninitialize();
    }
}

TEST_F(Fleet, DiagnosticModeFailures)
{
    auto a = Adapter(0, sim::OptionRom::Pxe), b = Adapter(1, sim::OptionRom::Pxe);
    a.InitDiagStatus = 4;
    b.UnInitDiagStatus = 4;
    Write({a, b});
    Inventory();
    EXPECT_EQ(gRun.Installed[0].InstalledFlags, InstBootCodeVersion);
    EXPECT_EQ(gRun.Adapters[0].DiagOpen, 0u);
    EXPECT_FALSE(Traced("BmapiReadFirmware 1 0x18 1"));
    EXPECT_EQ(gRun.Installed[1].InstalledFlags, InstBootCodeVersion | InstPxeVersion);
    EXPECT_EQ(gRun.Adapters[1].DiagOpen, 1u);
}

TEST_F(Fleet, AFailedFirmwareInfoLeavesAnAllZeroRecord)
{
    auto a = Adapter(0), b = Adapter(1);
    a.FwInfoStatus = 3;
    Write({a, b});
    Inventory();
    ASSERT_EQ(gRun.AdapterCount, 2u);
    const InstalledFirmware zero{};
    EXPECT_EQ(std::memcmp(&gRun.Installed[0], &zero, sizeof zero), 0);
    EXPECT_STREQ(gRun.Installed[1].InterfaceName, "eth1");
    EXPECT_EQ(gRun.CurrentAdapter, 1u);
}

} // namespace
