// The inventory as the listing shows it (discovery, installed versions, the
// NVRAM directory scan) and the interface names the bring-up uses.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "harness.h"

namespace systest {
namespace {

// ---------------------------------------------------------------------------
// Expected listing text

std::string Header(const std::string& mac, const std::string& pciId, const std::string& name)
{
    std::string macColumn = mac;
    if (macColumn.size() < 12)
        macColumn.resize(12, ' ');
    return "MAC          PCI-ID              NIC\n" + macColumn + " " + pciId + " " + name +
           " \n\n"
           "     Image      Version\n" +
           std::string(70, '-') + "\n";
}

std::string Bc(const std::string& v) { return "        BC      " + v + "\n"; }
std::string Pxe(const std::string& v) { return "       PXE      " + v + "\n"; }
std::string Clp(const std::string& v) { return "       CLP      " + v + "\n"; }
std::string Iscsi(const std::string& v) { return "     iSCSI      " + v + "\n"; }

std::string StandardMac(int index)
{
    char text[16];
    std::snprintf(text, sizeof text, "02A0B0C0D0%02X", index);
    return text;
}

std::string StandardName(int index) { return "Orvan NX2 Gigabit Adapter " + std::to_string(index); }

// The block of an adapter made by MakeAdapter(index) with the given rows.
std::string StandardBlock(int index, const std::string& rows)
{
    char pciId[32];
    std::snprintf(pciId, sizeof pciId, "5A17-%04X-5A17-%04X", 0x2001 + index, 0x0100 + index);
    return Header(StandardMac(index), pciId, StandardName(index)) + rows + "\n";
}

const std::string FailedToRead = "Failed to read NVRAM!\r\n";
const std::string VersionRefused301 =
    "Unsupported BMAPI version 3.0.1.\nExpect BMAPI version 3.0.2 or later.\n";

// ---------------------------------------------------------------------------
// Hand-made NVRAM images for the directory scan: 16 entries of 12 bytes from
// 0x18, type word then image offset word, both big-endian.

constexpr uint32_t Class0 = 0x00000100;
constexpr uint32_t Class1 = 0x10000100;
constexpr uint32_t Class2 = 0x20000100;

using sim::PutBe32;

void PutBytes(std::vector<uint8_t>& image, size_t at, std::initializer_list<uint8_t> bytes)
{
    for (uint8_t b : bytes)
        image[at++] = b;
}

struct Nvram {
    std::vector<uint8_t> Bytes = std::vector<uint8_t>(0x800, 0);

    Nvram() { PutBytes(Bytes, 0, {0x66, 0x99, 0x55, 0xAA}); }

    Nvram& Entry(int k, uint32_t type, uint32_t offset)
    {
        PutBe32(Bytes, 0x18 + 12 * k, type);
        PutBe32(Bytes, 0x1C + 12 * k, offset);
        return *this;
    }
    // The signature bytes of an option ROM whose image starts at region.
    Nvram& Rom(size_t region, sim::OptionRom kind)
    {
        const size_t s = region + 0x20;
        switch (kind) {
        case sim::OptionRom::Pxe: PutBytes(Bytes, s, {0x49, 0x44, 0x4E, 0x55}); break;
        case sim::OptionRom::Iscsi:
            PutBytes(Bytes, s, {0x49, 0x53, 0x43, 0x53, 0x20, 0x54, 0x42, 0x53, 0x49, 0x20, 0x20, 0x20});
            break;
        case sim::OptionRom::Clp:
            PutBytes(Bytes, s, {0x43, 0x4C, 0x50, 0x2D, 0x48, 0x20, 0x50, 0x4C, 0x43, 0x20, 0x52, 0x44});
            break;
        case sim::OptionRom::None: break;
        }
        return *this;
    }
};

// Firmware information texts given explicitly: hand-made images carry no
// versions of their own.
sim::AdapterSpec WithTexts(sim::AdapterSpec spec, const std::string& bootCode, const std::string& optionRom)
{
    spec.BootCodeText = bootCode;
    spec.HasBootCodeText = true;
    spec.OptionRomText = optionRom;
    spec.HasOptionRomText = true;
    return spec;
}

std::string Hex(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

class InventoryTest : public SystemTest {
protected:
    // Adds adapter index with a hand-made NVRAM image and version texts
    // 1.9.6 / 8.3.5.
    sim::AdapterSpec AddHandMade(int index, const Nvram& nvram)
    {
        sim::AdapterSpec spec = WithTexts(MakeAdapter(index), "1.9.6", "8.3.5");
        AddNvram(spec.NvramFile, nvram.Bytes);
        AddAdapter(spec);
        return spec;
    }

    // Offsets of the NVRAM reads made for one handle, in order.
    std::vector<std::string> ReadsOf(uint32_t handle) const
    {
        std::vector<std::string> offsets;
        const std::string prefix = "BmapiReadFirmware " + std::to_string(handle) + " ";
        for (const std::string& line : BmapiTrace()) {
            if (line.compare(0, prefix.size(), prefix) != 0)
                continue;
            std::string rest = line.substr(prefix.size());
            EXPECT_EQ(rest.substr(rest.find(' ')), " 1") << "one word per read: " << line;
            offsets.push_back(rest.substr(0, rest.find(' ')));
        }
        return offsets;
    }

    std::vector<std::string> TypeWordReads(int entries) const
    {
        std::vector<std::string> offsets;
        for (int k = 0; k < entries; ++k)
            offsets.push_back(Hex(0x18 + 12 * k));
        return offsets;
    }

    RunResult List()
    {
        RunResult r = Run({"-c"});
        EXPECT_EQ(r.Err, "");
        EXPECT_FALSE(LogExists());
        return r;
    }
};

// ---------------------------------------------------------------------------
// Listing

TEST_F(InventoryTest, ListingShowsEachKindOfOptionRomInItsOwnBlock)
{
    AddStandardAdapter(0, sim::OptionRom::Pxe);
    AddStandardAdapter(1, sim::OptionRom::Clp);
    AddStandardAdapter(2, sim::OptionRom::Iscsi);
    AddStandardAdapter(3, sim::OptionRom::None);
    RunResult r = List();
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(r.Out, StandardBlock(0, Bc("1.9.6") + Pxe("8.3.5")) +
                         StandardBlock(1, Bc("1.9.6") + Clp("8.3.5")) +
                         StandardBlock(2, Bc("1.9.6") + Iscsi("8.3.5")) + StandardBlock(3, Bc("1.9.6")));
    EXPECT_EQ(CountBmapiCalls("BmapiUninitialize"), 1u);
    EXPECT_EQ(BmapiTrace().back(), "BmapiUninitialize");
    EXPECT_TRUE(Trace().empty());
}

TEST_F(InventoryTest, ListingPrintsPciIdsWithLeadingZerosFromTheirLow16Bits)
{
    sim::AdapterSpec spec = AddStandardAdapter(0);
    spec.FileName = "adapter00.conf";
    spec.VendorId = 0x10ABC;
    spec.DeviceId = 0x00A1;
    spec.SubsystemVendorId = 0x000F;
    spec.SubsystemId = 0x7C;
    AddAdapter(spec);
    RunResult r = List();
    EXPECT_EQ(r.Out, Header(StandardMac(0), "0ABC-00A1-000F-007C", StandardName(0)) + Bc("1.9.6") +
                         Pxe("8.3.5") + "\n");
}

TEST_F(InventoryTest, ListingShowsAnEmptyRecordWhenFirmwareInformationFails)
{
    AddStandardAdapter(0);
    sim::AdapterSpec failing = MakeAdapter(1);
    failing.FwInfoStatus = 5;
    AddNvram(failing.NvramFile, sim::BuildNvramImage(MakeNvram(1)));
    AddAdapter(failing);
    AddStandardAdapter(2);
    RunResult r = List();
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(r.Out, StandardBlock(0, Bc("1.9.6") + Pxe("8.3.5")) + Header("", "0000-0000-0000-0000", "") +
                         Bc("0.0.0") + "\n" + StandardBlock(2, Bc("1.9.6") + Pxe("8.3.5")));
    EXPECT_EQ(CountBmapiCalls("BmapiInitDiag 101"), 0u);
    EXPECT_EQ(CountBmapiCalls("BmapiInitDiag 102"), 1u);
}

// The other shapes: VersionText.OneCharacterPerComponentAroundTheFirstPoint
// and Fleet.ShortOrPointlessVersionTextsCarryNoVersion (unit).
TEST_F(InventoryTest, BootCodeVersionTextsParseOneCharacterPerComponent)
{
    // The major is the character before the point.
    sim::AdapterSpec spec = MakeAdapter(0);
    spec.BootCodeText = "10.2.3";
    spec.HasBootCodeText = true;
    AddNvram(spec.NvramFile, sim::BuildNvramImage(MakeNvram(0)));
    AddAdapter(spec);
    RunResult r = List();
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(r.Out, StandardBlock(0, Bc("0.2.3") + Pxe("8.3.5")));
}

TEST_F(InventoryTest, ShortOptionRomVersionTextRunsNoScan)
{
    sim::AdapterSpec spec = WithTexts(MakeAdapter(0), "1.9.6", "8.3");
    AddNvram(spec.NvramFile, sim::BuildNvramImage(MakeNvram(0)));
    AddAdapter(spec);
    RunResult r = List();
    EXPECT_EQ(r.Out, StandardBlock(0, Bc("1.9.6")));
    EXPECT_EQ(CountBmapiCalls("BmapiInitDiag"), 0u);
    EXPECT_EQ(CountBmapiCalls("BmapiReadFirmware"), 0u);
}

TEST_F(InventoryTest, ListingLeavesAnExistingLogUntouched)
{
    WriteLog("earlier run\n");
    AddStandardAdapter(0);
    RunResult r = Run({"-c"});
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(r.Out, StandardBlock(0, Bc("1.9.6") + Pxe("8.3.5")));
    EXPECT_EQ(Log(), "earlier run\n");
}

TEST_F(InventoryTest, ListingWithoutAdaptersPrintsNothingAndClosesTheLibrary)
{
    RunResult r = List();
    EXPECT_EQ(r.Status, 2);
    EXPECT_EQ(r.Out, "");
    EXPECT_EQ(BmapiTrace(), (std::vector<std::string>{"BmapiGetVersion", "BmapiInitializeEx 0",
                                                      "BmapiGetNumPhyNicEx", "BmapiUninitialize"}));
}

TEST_F(InventoryTest, ListingStopsSilentlyWhenTheLibraryCannotBeOpened)
{
    AddStandardAdapter(0);
    Library.InitializeStatus = 1;
    RunResult r = List();
    EXPECT_EQ(r.Status, 2);
    EXPECT_EQ(r.Out, "");
    EXPECT_EQ(BmapiTrace(), (std::vector<std::string>{"BmapiGetVersion", "BmapiInitializeEx 0"}));
}

// The other versions: Fleet.LibraryVersionsFrom302OnAreSupported (unit).
TEST_F(InventoryTest, ListingRefusesLibrariesOlderThan302)
{
    AddStandardAdapter(0);
    Library.Major = 3;
    Library.Minor = 0;
    Library.Build = 1;
    RunResult r = List();
    EXPECT_EQ(r.Status, 2);
    EXPECT_EQ(r.Out, VersionRefused301);
    EXPECT_EQ(BmapiTrace(), std::vector<std::string>{"BmapiGetVersion"});
}

TEST_F(InventoryTest, ListingAcceptsLibraries302AndLater)
{
    AddStandardAdapter(0);
    Library.Major = 3;
    Library.Minor = 0;
    Library.Build = 2;
    RunResult r = List();
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(r.Out, StandardBlock(0, Bc("1.9.6") + Pxe("8.3.5")));
}

// ---------------------------------------------------------------------------
// Discovery

TEST_F(InventoryTest, DiscoveryTakesOnlySupportedAdaptersInLibraryOrder)
{
    auto add = [&](int index, auto change) {
        sim::AdapterSpec spec = MakeAdapter(index);
        change(spec);
        AddNvram(spec.NvramFile, sim::BuildNvramImage(MakeNvram(index)));
        AddAdapter(spec);
    };
    // The other rules: Fleet.SupportedAdaptersAreTakenInLibraryOrder (unit).
    add(0, [](sim::AdapterSpec& s) { s.DeviceId = 0x4401; });
    add(5, [](sim::AdapterSpec& s) { s.DeviceId = 0x4402; });
    add(6, [](sim::AdapterSpec&) {});
    RunResult r = List();
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(r.Out, Header(StandardMac(5), "5A17-4402-5A17-0105", StandardName(5)) + Bc("1.9.6") +
                         Pxe("8.3.5") + "\n" + StandardBlock(6, Bc("1.9.6") + Pxe("8.3.5")));
    // Every adapter is described; only candidates are asked for more.
    EXPECT_EQ(CountBmapiCalls("BmapiGetPhyNic"), 3u);
    EXPECT_EQ(BmapiCalls("BmapiGetBRCMNicInfoEx"),
              (std::vector<std::string>{"BmapiGetBRCMNicInfoEx 105", "BmapiGetBRCMNicInfoEx 106"}));
}

// The failing BmapiGetBRCMNicInfoEx: Fleet.SupportedAdaptersAreTakenInLibraryOrder (unit).
TEST_F(InventoryTest, DiscoveryDropsOnlyTheAdapterWhoseLibraryCallFails)
{
    for (int index = 0; index < 4; ++index) {
        sim::AdapterSpec spec = MakeAdapter(index);
        if (index == 1)
            spec.PhyNicStatus = 9;
        AddNvram(spec.NvramFile, sim::BuildNvramImage(MakeNvram(index)));
        AddAdapter(spec);
    }
    RunResult r = List();
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(r.Out, StandardBlock(0, Bc("1.9.6") + Pxe("8.3.5")) +
                         StandardBlock(2, Bc("1.9.6") + Pxe("8.3.5")) +
                         StandardBlock(3, Bc("1.9.6") + Pxe("8.3.5")));
    EXPECT_EQ(BmapiCalls("BmapiGet5706FwInfo"),
              (std::vector<std::string>{"BmapiGet5706FwInfo 100", "BmapiGet5706FwInfo 102",
                                        "BmapiGet5706FwInfo 103"}));
}

TEST_F(InventoryTest, DiscoveryFindsNothingWhenTheCountCallFails)
{
    AddStandardAdapter(0);
    Library.CountStatus = 7;
    RunResult r = List();
    EXPECT_EQ(r.Status, 2);
    EXPECT_EQ(r.Out, "");
    EXPECT_EQ(BmapiTrace(), (std::vector<std::string>{"BmapiGetVersion", "BmapiInitializeEx 0",
                                                      "BmapiGetNumPhyNicEx", "BmapiUninitialize"}));
    // A failing handles call: Fleet.NoAdaptersOrFailingListCallsLeaveTheCountZero (unit).
}

TEST_F(InventoryTest, DiscoveryWithEveryAdapterDroppedListsNothing)
{
    sim::AdapterSpec spec = MakeAdapter(0);
    spec.NicType = 5;
    AddAdapter(spec);
    spec = MakeAdapter(1);
    spec.NicInfoStatus = 1;
    AddAdapter(spec);
    RunResult r = List();
    EXPECT_EQ(r.Status, 2);
    EXPECT_EQ(r.Out, "");
    EXPECT_EQ(CountBmapiCalls("BmapiGet5706FwInfo"), 0u);
    EXPECT_EQ(BmapiTrace().back(), "BmapiUninitialize");
}

// ---------------------------------------------------------------------------
// NVRAM directory scan

TEST_F(InventoryTest, ScanCountsOnlyTheFirstMatchingImage)
{
    Nvram clpFirst;
    clpFirst.Entry(0, Class1, 0x400).Rom(0x400, sim::OptionRom::Clp);
    clpFirst.Entry(1, Class1, 0x500).Rom(0x500, sim::OptionRom::Pxe);
    AddHandMade(0, clpFirst);
    Nvram pxeFirst;
    pxeFirst.Entry(0, Class1, 0x400).Rom(0x400, sim::OptionRom::Pxe);
    pxeFirst.Entry(1, Class1, 0x500).Rom(0x500, sim::OptionRom::Iscsi);
    AddHandMade(1, pxeFirst);
    RunResult r = List();
    EXPECT_EQ(r.Out,
              StandardBlock(0, Bc("1.9.6") + Clp("8.3.5")) + StandardBlock(1, Bc("1.9.6") + Pxe("8.3.5")));
    // The scan ends at the match; diagnostic mode is left once.
    EXPECT_EQ(ReadsOf(101), (std::vector<std::string>{"0x18", "0x1C", "0x420"}));
    EXPECT_EQ(ReadsOf(100), (std::vector<std::string>{"0x18", "0x1C", "0x420", "0x420", "0x424", "0x428"}));
    EXPECT_EQ(BmapiCalls("BmapiUnInitDiag"),
              (std::vector<std::string>{"BmapiUnInitDiag 100", "BmapiUnInitDiag 101"}));
}

TEST_F(InventoryTest, ScanExaminesOnlyClassOneEntries)
{
    Nvram nvram;
    nvram.Rom(0x400, sim::OptionRom::Pxe);
    for (int k = 0; k < 16; ++k)
        nvram.Entry(k, k % 2 ? Class2 : Class0, 0x400);
    AddHandMade(0, nvram);
    RunResult r = List();
    EXPECT_EQ(r.Out, StandardBlock(0, Bc("1.9.6")));
    EXPECT_EQ(ReadsOf(100), TypeWordReads(16));
    EXPECT_EQ(BmapiCalls("BmapiInitDiag"), std::vector<std::string>{"BmapiInitDiag 100"});
    EXPECT_EQ(BmapiCalls("BmapiUnInitDiag"), std::vector<std::string>{"BmapiUnInitDiag 100"});
}

TEST_F(InventoryTest, ScanExaminesTheSixteenthEntryAndNothingBeyond)
{
    Nvram last;
    for (int k = 0; k < 15; ++k)
        last.Entry(k, Class0, 0);
    last.Entry(15, Class1, 0x400).Rom(0x400, sim::OptionRom::Iscsi);
    // A class 1 word just past the directory must not be read.
    PutBe32(last.Bytes, 0x18 + 12 * 16, Class1);
    PutBe32(last.Bytes, 0x1C + 12 * 16, 0x500);
    last.Rom(0x500, sim::OptionRom::Pxe);
    AddHandMade(0, last);
    RunResult r = List();
    EXPECT_EQ(r.Out, StandardBlock(0, Bc("1.9.6") + Iscsi("8.3.5")));
    std::vector<std::string> reads = TypeWordReads(16);
    reads.insert(reads.end(), {"0xD0", "0x420", "0x424", "0x428"});
    EXPECT_EQ(ReadsOf(100), reads);
}

TEST_F(InventoryTest, ScanRecordsNoKindWhenDiagnosticModeFails)
{
    sim::AdapterSpec spec = MakeAdapter(0);
    spec.InitDiagStatus = 3;
    AddNvram(spec.NvramFile, sim::BuildNvramImage(MakeNvram(0)));
    AddAdapter(spec);
    AddStandardAdapter(1);
    RunResult r = List();
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(r.Out, StandardBlock(0, Bc("1.9.6")) + StandardBlock(1, Bc("1.9.6") + Pxe("8.3.5")));
    EXPECT_TRUE(ReadsOf(100).empty());
    EXPECT_EQ(BmapiCalls("BmapiUnInitDiag"), std::vector<std::string>{"BmapiUnInitDiag 101"});
}

// The type and offset words: Fleet.AFailedReadEndsTheScanAndLeavesDiagnosticMode (unit).
TEST_F(InventoryTest, ScanEndsAtAFailedReadAndLeavesDiagnosticMode)
{
    // The signature word cannot be read.
    sim::AdapterSpec spec = MakeAdapter(0, sim::OptionRom::Clp);
    spec.ReadFailOffsets = {0x420};
    AddNvram(spec.NvramFile, sim::BuildNvramImage(MakeNvram(0, sim::OptionRom::Clp)));
    AddAdapter(spec);
    AddStandardAdapter(1);
    RunResult r = List();
    EXPECT_EQ(r.Status, 0);
    // The message comes from the inventory, before any block.
    EXPECT_EQ(r.Out,
              FailedToRead + StandardBlock(0, Bc("1.9.6")) + StandardBlock(1, Bc("1.9.6") + Pxe("8.3.5")));
    EXPECT_EQ(ReadsOf(100).back(), "0x420");
    EXPECT_EQ(BmapiCalls("BmapiUnInitDiag"),
              (std::vector<std::string>{"BmapiUnInitDiag 100", "BmapiUnInitDiag 101"}));
}

// The other offsets: Fleet.ImageOffsetsAnywhereAreHarmless (unit).
TEST_F(InventoryTest, ScanSkipsImagesWhoseSignatureLiesBeyond32BitOffsets)
{
    // Wrapping round would find this signature at the start of the NVRAM.
    Nvram nvram;
    PutBytes(nvram.Bytes, 0x10, {0x49, 0x44, 0x4E, 0x55}); // PXE at 0xFFFFFFF0 + 0x20, wrapped
    nvram.Entry(0, Class1, 0xFFFFFFF0);
    nvram.Entry(1, Class1, 0x400).Rom(0x400, sim::OptionRom::Clp);
    AddHandMade(0, nvram);
    RunResult r = List();
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(r.Out, StandardBlock(0, Bc("1.9.6") + Clp("8.3.5")));
    EXPECT_EQ(ReadsOf(100),
              (std::vector<std::string>{"0x18", "0x1C", "0x24", "0x28", "0x420", "0x420", "0x424", "0x428"}));
}

// The other offsets: Fleet.ImageOffsetsAnywhereAreHarmless (unit).
TEST_F(InventoryTest, ScanReportsAnImageTheLibraryCannotRead)
{
    // Addressable within 32 bits but outside the NVRAM: the library refuses.
    Nvram nvram;
    nvram.Entry(0, Class1, 0xFFFFFFD4);
    nvram.Entry(1, Class1, 0x400).Rom(0x400, sim::OptionRom::Pxe);
    AddHandMade(0, nvram);
    RunResult r = List();
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(r.Out, FailedToRead + StandardBlock(0, Bc("1.9.6")));
    EXPECT_EQ(ReadsOf(100), (std::vector<std::string>{"0x18", "0x1C", "0xFFFFFFF4"}));
    EXPECT_EQ(CountBmapiCalls("BmapiUnInitDiag"), 1u);
}

// ---------------------------------------------------------------------------
// Library texts that fill their fields without a terminating NUL

// A version text whose first point is the field's last character:
// VersionText.StaysWithinItsField (unit).
TEST_F(InventoryTest, TextsFillingTheirWholeFieldAreCutSafely)
{
    sim::AdapterSpec spec = MakeAdapter(0);
    spec.Name = std::string(140, 'N') + "ABCDEFGH";       // 148
    spec.Description = "(eth0) " + std::string(157, 'D'); // 164
    spec.Mac = "02A0B0C0D0009";                           // 13
    spec = WithTexts(spec, "1.2.3" + std::string(27, 'b'), "4.5.6" + std::string(27, 'o'));
    AddNvram(spec.NvramFile, sim::BuildNvramImage(MakeNvram(0)));
    AddAdapter(spec);

    RunResult r = List();
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(r.Out, Header("02A0B0C0D000", "5A17-2001-5A17-0100", std::string(79, 'N')) + Bc("1.2.3") +
                         Pxe("4.5.6") + "\n");
}

// ---------------------------------------------------------------------------
// Interface names, as the upgrade run's bring-up uses them

// The other descriptions: InterfaceName.TheLastParenthesisedTokenLosesItsFirstAndLastCharacter
// and Fleet.LongDescriptionsAreCutBeforeTheInterfaceNameIsTaken (unit).
TEST_F(InventoryTest, InterfaceNameComesFromTheLastParenthesisedToken)
{
    sim::AdapterSpec spec = MakeAdapter(0);
    spec.Description = "Adapter (eth1) (eth2)"; // the last one wins
    AddNvram(spec.NvramFile, sim::BuildNvramImage(MakeNvram(0, sim::OptionRom::None)));
    AddAdapter(spec);
    RunResult r = Run({});
    EXPECT_EQ(r.Status, 2);
    EXPECT_EQ(Trace(), (std::vector<std::string>{"ifconfig eth2 up", "sleep 1"}));
}

} // namespace
} // namespace systest
