// Discovery, installed versions and the NVRAM directory scan, against the
// substitute library serving a fleet made by each test.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "adapters/discovery.h"
#include "adapters/installed.h"
#include "adapters/inventory.h"
#include "fleet.h"
#include "state/bmapi.h"
#include "state/records.h"
#include "test_support.h"

namespace {

using sim::PutBe32;

std::string Hex(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

// Firmware information texts given explicitly: hand-changed images keep the
// versions the test expects.
sim::AdapterSpec WithTexts(sim::AdapterSpec spec, const std::string& bootCode, const std::string& optionRom)
{
    spec.BootCodeText = bootCode;
    spec.HasBootCodeText = true;
    spec.OptionRomText = optionRom;
    spec.HasOptionRomText = true;
    return spec;
}

class Fleet : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = test::MakeTempDir("fleet");
        ASSERT_FALSE(dir.empty());
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

    // Offsets of the one-word NVRAM reads made for a handle, in order.
    std::vector<std::string> ReadsOf(uint32_t handle) const
    {
        std::vector<std::string> offsets;
        const std::string prefix = "BmapiReadFirmware " + std::to_string(handle) + " ";
        for (const std::string& line : Trace()) {
            if (line.compare(0, prefix.size(), prefix) != 0)
                continue;
            std::string rest = line.substr(prefix.size());
            EXPECT_EQ(rest.substr(rest.find(' ')), " 1") << "one word per read: " << line;
            offsets.push_back(rest.substr(0, rest.find(' ')));
        }
        return offsets;
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
    struct Case {
        const char* Text;
        bool Parsed;
        uint32_t Major, Minor, Build;
    } cases[] = {
        {"2.1.9", true, 2, 1, 9},  {"v2.1.9", true, 2, 1, 9},
        {"10.2.3", true, 0, 2, 3},                           // the major is the character before the point
        {"2.x.y", true, 2, 0, 0},  {"2.a.7", true, 2, 0, 7}, // a non-digit counts 0
        {".1.2x", true, 0, 1, 2},                            // nothing before the point
        {"2019", false, 0, 0, 0},                            // no point
        {"12345", false, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Text);
        FirmwareVersion v{};
        ASSERT_EQ(ParseVersionText(c.Text, 32, v), c.Parsed);
        if (!c.Parsed)
            continue;
        EXPECT_EQ(v.Major, c.Major);
        EXPECT_EQ(v.Minor, c.Minor);
        EXPECT_EQ(v.Build, c.Build);
    }
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
        {"Adapter (eth1) (eth2)", "eth2"},
        {"Adapter eth3", ""},
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

TEST_F(Fleet, LibraryVersionsFrom302OnAreSupported)
{
    struct Case {
        uint32_t Major, Minor, Build;
        std::string Shown; // empty: supported
    } cases[] = {
        {3, 0, 1, "Unsupported BMAPI version 3.0.1.\nExpect BMAPI version 3.0.2 or later.\n"},
        {2, 9, 9, "Unsupported BMAPI version 2.9.9.\nExpect BMAPI version 3.0.2 or later.\n"},
        {0, 0, 0, "Unsupported BMAPI version 0.0.0.\nExpect BMAPI version 3.0.2 or later.\n"},
        {3, 0, 2, ""},
        {3, 1, 0, ""},
        {4, 0, 0, ""},
        {3, 0, 10, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.Major) + "." + std::to_string(c.Minor) + "." + std::to_string(c.Build));
        sim::LibrarySpec library;
        library.Major = c.Major;
        library.Minor = c.Minor;
        library.Build = c.Build;
        ASSERT_TRUE(sim::WriteLibrary(dir, library));
        console.Start();
        const bool supported = LibraryVersionSupported();
        EXPECT_EQ(console.Stop(), c.Shown);
        EXPECT_EQ(supported, c.Shown.empty());
    }
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
    auto a8 = Adapter(8), a9 = Adapter(9);
    a8.NicFlags = 0x1;
    a9.DeviceId = 0x4402; // only 0x4401 is refused
    Write({a0, a1, a2, a3, a4, a5, a6, a7, a8, a9});
    Inventory();
    ASSERT_EQ(gRun.AdapterCount, 4u);
    EXPECT_STREQ(gRun.Adapters[0].Nic.MacText, "00112233AAB0");
    EXPECT_STREQ(gRun.Adapters[1].Nic.MacText, "00112233AAB2");
    EXPECT_STREQ(gRun.Adapters[2].Nic.MacText, "00112233AAB7");
    EXPECT_STREQ(gRun.Adapters[3].Nic.MacText, "00112233AAB9");
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
    EXPECT_TRUE(Traced("BmapiGetAllPhyNicHandles 1"));
    EXPECT_FALSE(Traced("BmapiGetPhyNic 1"));
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
    EXPECT_EQ(nic.PxeMajor, 8);
    EXPECT_EQ(nic.PxeMinor, 3);
    EXPECT_EQ(nic.PxeBuild, 5);
    EXPECT_EQ(nic.ClpMajor, 0u);
    EXPECT_EQ(nic.ClpMinor, 0u);
    EXPECT_EQ(nic.ClpBuild, 0u);
    EXPECT_EQ(gRun.CurrentAdapter, 0u);
}

TEST_F(Fleet, LongDescriptionsAreCutBeforeTheInterfaceNameIsTaken)
{
    const std::pair<std::string, std::string> cases[] = {
        {std::string(72, 'a') + " (eth5)", "eth5"}, // ends at the 79th character
        {std::string(100, 'a') + " (eth6)", ""},    // cut off
    };
    std::vector<sim::AdapterSpec> adapters;
    for (const auto& [description, name] : cases) {
        adapters.push_back(Adapter(int(adapters.size())));
        adapters.back().Description = description;
    }
    Write(adapters);
    Inventory();
    ASSERT_EQ(gRun.AdapterCount, 2u);
    for (uint32_t i = 0; i < 2; ++i)
        EXPECT_EQ(std::string(gRun.Installed[i].InterfaceName), cases[i].second) << cases[i].first;
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
        EXPECT_EQ(nic.BootCodeMajor, 0u);
        EXPECT_EQ(nic.BootCodeMinor, 0u);
        EXPECT_EQ(nic.BootCodeBuild, 0u);
        EXPECT_EQ(nic.PxeMajor, 0);
        EXPECT_EQ(nic.PxeMinor, 0);
        EXPECT_EQ(nic.PxeBuild, 0);
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
    // An iSCSI or CLP image takes the option ROM version as its CLP version.
    for (uint32_t i : {1u, 2u}) {
        EXPECT_EQ(gRun.Installed[i].ClpMajor, 8u) << i;
        EXPECT_EQ(gRun.Installed[i].ClpMinor, 3u) << i;
        EXPECT_EQ(gRun.Installed[i].ClpBuild, 5u) << i;
    }
    EXPECT_EQ(gRun.Installed[0].ClpMajor, 0u);
    EXPECT_EQ(gRun.Installed[0].ClpMinor, 0u);
    EXPECT_EQ(gRun.Installed[0].ClpBuild, 0u);
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
    const uint32_t typeWord0 = sim::GetBe32(image, 0x18);
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
    EXPECT_EQ(gRun.Installed[0].PxeMajor, 8);
    EXPECT_EQ(gRun.Installed[0].PxeMinor, 3);
    EXPECT_EQ(gRun.Installed[0].PxeBuild, 5);
}

TEST_F(Fleet, ImageOffsetsAnywhereAreHarmless)
{
    // Entry 0 holds the offset under test, entry 1 the adapter's CLP image at
    // 0x400. A PXE signature waits where a wrapped-round read of entry 0's
    // signature word would land, whenever that lies outside the directory.
    // An image whose signature bytes run past 2^32 is skipped and the scan
    // goes on to the CLP image; one the library cannot read ends the scan.
    const std::string failed = "Failed to read NVRAM!\r\n";
    const std::vector<std::string> skipped = {"0x18",  "0x1C",  "0x24",  "0x28",
                                              "0x420", "0x420", "0x424", "0x428"};
    struct Case {
        uint32_t Offset;
        // Where the signature word's read wraps round to; -1 where it would
        // land in the directory, or where only the last bytes would wrap.
        int PlantPxeAt;
        uint32_t Flags;
        std::string Shown;
        std::vector<std::string> Reads;
    } cases[] = {
        {0xFFFFFFF0u, 0x10, InstBootCodeVersion | InstClpVersion, "", skipped},
        {0xFFFFFFE0u, 0x00, InstBootCodeVersion | InstClpVersion, "", skipped},
        {0xFFFFFFFFu, -1, InstBootCodeVersion | InstClpVersion, "", skipped},
        {0xFFFFFFD5u, -1, InstBootCodeVersion | InstClpVersion, "", skipped}, // last byte at 2^32
        {0xFFFFFFD4u, -1, InstBootCodeVersion, failed, {"0x18", "0x1C", "0xFFFFFFF4"}},
        {0x7FFFFFF0u, -1, InstBootCodeVersion, failed, {"0x18", "0x1C", "0x80000010"}},
        {0x00100000u, -1, InstBootCodeVersion, failed, {"0x18", "0x1C", "0x100020"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Hex(c.Offset));
        test::ReleaseRunState();
        std::remove((dir + "/bmapi.trace").c_str());
        auto a = Adapter(0, sim::OptionRom::Clp);
        a = WithTexts(a, "1.9.6", "8.3.5");
        std::vector<uint8_t>& image = images[a.NvramFile];
        PutBe32(image, 0x1C, c.Offset);
        PutBe32(image, 0x18 + 12, 0x10000100);
        PutBe32(image, 0x1C + 12, 0x400);
        if (c.PlantPxeAt >= 0)
            std::memcpy(&image[size_t(c.PlantPxeAt)], "\x49\x44\x4E\x55", 4);
        Write({a});
        console.Start();
        Inventory();
        std::string shown = console.Stop();
        ASSERT_EQ(gRun.AdapterCount, 1u);
        EXPECT_EQ(gRun.Installed[0].InstalledFlags, c.Flags);
        EXPECT_EQ(shown, c.Shown);
        EXPECT_EQ(ReadsOf(1), c.Reads);
        EXPECT_EQ(gRun.Adapters[0].DiagOpen, 0u);
        BmapiUninitialize();
    }
}

TEST_F(Fleet, AFailedReadEndsTheScanAndLeavesDiagnosticMode)
{
    // The type word, the offset word, the signature word.
    for (uint32_t failAt : {0x18u, 0x1Cu, 0x420u}) {
        SCOPED_TRACE(Hex(failAt));
        test::ReleaseRunState();
        std::remove((dir + "/bmapi.trace").c_str());
        auto a = Adapter(0, sim::OptionRom::Pxe);
        a.ReadFailOffsets = {failAt};
        Write({a, Adapter(1, sim::OptionRom::Clp)});
        console.Start();
        Inventory();
        EXPECT_EQ(console.Stop(), "Failed to read NVRAM!\r\n");
        ASSERT_FALSE(ReadsOf(1).empty());
        EXPECT_EQ(ReadsOf(1).back(), Hex(failAt));
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
