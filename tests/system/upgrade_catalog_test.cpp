// Catalog reading, image files and the confirmation texts, through the real
// binary: what is offered, how it is described and warned about, and what
// the flashing tool is then given.
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "upgrade_support.h"

namespace systest {
namespace {

using namespace upgrade;

class UpgradeCatalogTest : public UpgradeFixture {
protected:
    // The image path of every tool run, in order.
    std::vector<std::string> FlashedImages() const
    {
        std::vector<std::string> images;
        for (const auto& args : FlashToolArguments())
            images.push_back(args.size() >= 2 ? args[args.size() - 2] : "");
        return images;
    }
};

// ---------------------------------------------------------------------------
// Catalog files

// Entries on one line: SelectTest.EntriesAreTokensWhateverTheLineBreaks (unit).
TEST_F(UpgradeCatalogTest, EntriesAreTokenTriplesWhateverTheLineBreaks)
{
    AddStandardAdapter(0);
    BootCodeCatalog(PciId(1) + "\n  other.bin\n v9.9.9\n" + PciId(0) + "\n\tbc.bin\n\n  v2.0.1");
    RunResult r = RunWithInput({}, "y\n");
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(r.Out, std::string(Banner) + Heading(0) + Prompt("Boot Code 1.9.6 to 2.0.1", "y") + Notice +
                         Selecting(0) + Upgrading("Boot Code 1.9.6 to 2.0.1") + Complete);
    EXPECT_EQ(FlashedImages(), std::vector<std::string>{BootCodeDir + "bc.bin"});
}

// The shift that loses an entry: SelectTest.LongPciIdTokenIsCutAndShiftsLaterEntries (unit).
TEST_F(UpgradeCatalogTest, OverlongPciIdTokenShiftsTheRestOfTheCatalog)
{
    AddStandardAdapter(0);
    // 21 characters: the last one becomes the file name token, and the shift
    // brings an entry into line.
    BootCodeCatalog("AAAAAAAAAAAAAAAAAAAAB x.bin\n" + PciId(0) + " shifted.bin v2.0.4\n");
    RunResult r = RunWithInput({}, "y\n");
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(r.Out, std::string(Banner) + Heading(0) + Prompt("Boot Code 1.9.6 to 2.0.4", "y") + Notice +
                         Selecting(0) + Upgrading("Boot Code 1.9.6 to 2.0.4") + Complete);
    EXPECT_EQ(FlashedImages(), std::vector<std::string>{BootCodeDir + "shifted.bin"});
}

TEST_F(UpgradeCatalogTest, LowerCasePciIdsMatchNoAdapter)
{
    AddStandardAdapter(0);
    BootCodeCatalog("5a17-2001-5a17-0100 bc.bin v2.0.1\n");
    OfferPxe(0, "pxe.rom", 8, 4, 0);
    PxeCatalog("5a17-2001-5a17-0100 pxe.rom -\n");
    RunResult r = RunWithInput({}, "y\ny\n");
    EXPECT_EQ(r.Status, 2);
    EXPECT_EQ(r.Out, std::string(Banner) + Heading(0));
    EXPECT_EQ(ToolTrace(), BringUp({"eth0"}));
}

// The other shapes: SelectTest.BootCodeVersionShapes (unit).
TEST_F(UpgradeCatalogTest, BootCodeVersionTokenIsSixCharactersWithItsPointAtIndexTwo)
{
    AddStandardAdapter(0);
    BootCodeCatalog(PciId(0) + " bc.bin v4.6.4\n");
    RunResult r = RunWithInput({}, "n\n");
    EXPECT_EQ(r.Out, std::string(Banner) + Heading(0) + Prompt("Boot Code 1.9.6 to 4.6.4", "y"));

    // A token of another shape ends the boot code search: the good entry
    // after it is never offered.
    ClearRecords();
    BootCodeCatalog(PciId(0) + " bad.bin v4.6.10\n" + PciId(0) + " bc.bin v2.0.1\n");
    r = RunWithInput({}, "y\n");
    EXPECT_EQ(r.Status, 2);
    EXPECT_EQ(r.Out, std::string(Banner) + Heading(0));
    EXPECT_EQ(ToolTrace(), BringUp({"eth0"}));
}

// The other tokens: SelectTest.ClpVersionTokens (unit).
TEST_F(UpgradeCatalogTest, ClpVersionTokenTakesOneCharacterMajorAndNumericMinorAndBuild)
{
    AddStandardAdapter(0, sim::OptionRom::Clp); // installed CLP 8.3.5
    WriteCatalogImage("clp", "clp.rom", sim::BuildOptionRomFile(sim::OptionRom::Clp, 9, 0, 0));

    // The minor 10 is a number: newer than 3.
    ClpCatalog(PciId(0) + " clp.rom v8.10.2\n");
    RunResult r = RunWithInput({}, "n\n");
    EXPECT_EQ(r.Out, std::string(Banner) + Heading(0) + Prompt("CLP 8.3.5 to 8.10.2", "y"));
}

// A CLP token without three parts carries no version: its entry is passed
// over and the next one is offered. The other tokens: SelectTest.ClpVersionTokens (unit).
TEST_F(UpgradeCatalogTest, ClpEntryWithoutAThreePartVersionIsPassedOver)
{
    AddStandardAdapter(0, sim::OptionRom::Clp);
    WriteCatalogImage("clp", "clp.rom", sim::BuildOptionRomFile(sim::OptionRom::Clp, 9, 0, 0));
    ClpCatalog(PciId(0) + " short.rom v3.1\n" + PciId(0) + " clp.rom v9.0.0\n");
    RunResult r = RunWithInput({}, "y\n");
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(r.Out, std::string(Banner) + Heading(0) + Prompt("CLP 8.3.5 to 9.0.0", "y") + Notice +
                         Selecting(0) + Upgrading("CLP 8.3.5 to 9.0.0") + Complete);
    EXPECT_EQ(FlashedImages(), std::vector<std::string>{ClpDir + "clp.rom"});
    ToolTrace();
}

TEST_F(UpgradeCatalogTest, IncompleteLastEntryIsNotOffered)
{
    AddStandardAdapter(0);
    BootCodeCatalog(PciId(0) + " bc.bin v2.0.1\n" + PciId(0) + " bc2.bin\n");
    RunResult r = RunWithInput({}, "n\ny\n");
    EXPECT_EQ(r.Status, 2);
    EXPECT_EQ(r.Out, std::string(Banner) + Heading(0) + Prompt("Boot Code 1.9.6 to 2.0.1", "y"));
}

TEST_F(UpgradeCatalogTest, DeclinedBootCodeImageMakesWayForTheNextEntry)
{
    AddStandardAdapter(0);
    BootCodeCatalog(PciId(0) + " first.bin v2.0.1\n" + PciId(0) + " second.bin v2.0.2\n");
    RunResult r = RunWithInput({}, "n\n\n");
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(r.Out, std::string(Banner) + Heading(0) + Prompt("Boot Code 1.9.6 to 2.0.1", "y") +
                         Prompt("Boot Code 1.9.6 to 2.0.2", "y") + Notice + Selecting(0) +
                         Upgrading("Boot Code 1.9.6 to 2.0.2") + Complete);
    EXPECT_EQ(
        ToolTrace(),
        Lines({{FlashBootCode(0, "second.bin", ".bc1.9.6.bin")}, AfterGoodFlash("eth0"), BringUp({"eth0"})}));
}

TEST_F(UpgradeCatalogTest, AdapterWithoutBootCodeVersionIsAnnouncedByEachStepThatFindsAnImage)
{
    sim::AdapterSpec adapter = MakeAdapter(0);
    adapter.BootCodeText = "1.2";
    adapter.HasBootCodeText = true;
    AddNvram(adapter.NvramFile, sim::BuildNvramImage(MakeNvram(0)));
    AddAdapter(adapter);
    BootCodeCatalog(PciId(0) + " bc.bin v2.0.1\n");
    OfferPxe(0, "pxe.rom", 8, 4, 0);
    WriteCatalogImage("clp", "clp.rom", sim::BuildOptionRomFile(sim::OptionRom::Clp, 3, 1, 2));
    ClpCatalog(PciId(0) + " clp.rom v3.1.2\n");
    RunResult r = RunWithInput({}, "n\nn\n");
    EXPECT_EQ(r.Status, 2);
    EXPECT_EQ(r.Out, std::string(Banner) + Heading(0) + Prompt("PXE 8.3.5 to 8.4.0", "y") + Heading(0) +
                         Prompt("PXE 0.0.0 to CLP 3.1.2", "y"));
}

// ---------------------------------------------------------------------------
// Image files named by the PXE catalog

TEST_F(UpgradeCatalogTest, OptionRomFileVersionIsComparedAsNumbers)
{
    AddStandardAdapter(0);
    OfferPxe(0, "pxe.rom", 8, 3, 10);
    RunResult r = RunWithInput({}, "\n");
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(r.Out, std::string(Banner) + Heading(0) + Prompt("PXE 8.3.5 to 8.3.10", "y") + Notice +
                         Selecting(0) + Upgrading("PXE 8.3.5 to 8.3.10") + Complete);
    EXPECT_EQ(ToolTrace(), Lines({{FlashRom(0, PxeDir, "pxe.rom", ".bc1.9.6.p8.3.5.bin")},
                                  AfterGoodFlash("eth0"),
                                  BringUp({"eth0"})}));
}

TEST_F(UpgradeCatalogTest, NvramImageAsPxeAlsoReplacesTheBootCodeVersionOfTheSelection)
{
    AddStandardAdapter(0);
    BootCodeCatalog(PciId(0) + " bc.bin v2.0.1\n");
    sim::NvramSpec image = MakeNvram(0);
    image.BootCodeMajor = 2, image.BootCodeMinor = 5, image.BootCodeBuild = 7;
    image.RomMajor = 9, image.RomMinor = 0, image.RomBuild = 0;
    WriteCatalogImage("pxe", "pxe.nvram", sim::BuildNvramImage(image));
    PxeCatalog(PciId(0) + " pxe.nvram -\n");
    RunResult r = RunWithInput({}, "\n\n");
    EXPECT_EQ(r.Status, 0);
    // The boot code write shows the major and minor read from the PXE image.
    EXPECT_EQ(r.Out, std::string(Banner) + Heading(0) + Prompt("Boot Code 1.9.6 to 2.0.1", "y") +
                         Prompt("PXE 8.3.5 to 9.0.0", "y") + Notice + Selecting(0) +
                         Upgrading("Boot Code 1.9.6 to 2.5.1") + Upgrading("PXE 8.3.5 to 9.0.0") + Complete);
    EXPECT_EQ(ToolTrace(), Lines({{FlashBootCode(0, "bc.bin", ".bc1.9.6.p8.3.5.bin")},
                                  AfterGoodFlash("eth0"),
                                  {FlashRom(0, PxeDir, "pxe.nvram", ".bc2.5.6.p8.3.5.bin")},
                                  AfterGoodFlash("eth0"),
                                  BringUp({"eth0"})}));
}

TEST_F(UpgradeCatalogTest, UnreadablePxeFilesArePassedOverAndKeepWhatWasAccepted)
{
    AddStandardAdapter(0);
    BootCodeCatalog(PciId(0) + " bc.bin v2.0.1\n");
    std::vector<uint8_t> big = sim::BuildOptionRomFile(sim::OptionRom::Pxe, 9, 9, 9);
    big.resize(1048577, 0);
    WriteCatalogImage("pxe", "big.rom", big);
    WriteCatalogImage("pxe", "pxe.rom", sim::BuildOptionRomFile(sim::OptionRom::Pxe, 8, 4, 0));
    PxeCatalog(PciId(0) + " missing.rom -\n" + PciId(0) + " big.rom -\n" + PciId(0) + " pxe.rom -\n");
    RunResult r = RunWithInput({}, "y\ny\n");
    EXPECT_EQ(r.Status, 0);
    const std::string failures = "Failed to read file (" + PxeDir + "missing.rom) into memory!\n" +
                                 "File size 1048577 is too big, max is 1048576!\r\n" +
                                 "Failed to read file (" + PxeDir + "big.rom) into memory!\n";
    const std::string questions =
        Prompt("Boot Code 1.9.6 to 2.0.1", "y") + failures + Prompt("PXE 8.3.5 to 8.4.0", "y");
    EXPECT_EQ(r.Out, std::string(Banner) + Heading(0) + questions + Notice + Selecting(0) +
                         Upgrading("Boot Code 1.9.6 to 2.0.1") + Upgrading("PXE 8.3.5 to 8.4.0") + Complete);
    EXPECT_EQ(Log(), std::string(Banner) + Heading(0) + Prompt("Boot Code 1.9.6 to 2.0.1", "y") + "y\n" +
                         failures + Prompt("PXE 8.3.5 to 8.4.0", "y") + "y\n" + Selecting(0) +
                         Upgrading("Boot Code 1.9.6 to 2.0.1") + Upgrading("PXE 8.3.5 to 8.4.0") + Complete);
    // The boot code accepted before the failures is still written.
    EXPECT_EQ(ToolTrace(), Lines({{FlashBootCode(0, "bc.bin", ".bc1.9.6.p8.3.5.bin")},
                                  AfterGoodFlash("eth0"),
                                  {FlashRom(0, PxeDir, "pxe.rom", ".bc2.0.6.p8.3.5.bin")},
                                  AfterGoodFlash("eth0"),
                                  BringUp({"eth0"})}));
}

// A FIFO, a directory and devices named as PXE images are files that could
// not be read: a forced silent run passes over them, hands nothing to the
// tool and ends (a FIFO used to block the run, /dev/zero used to be flashed).
TEST_F(UpgradeCatalogTest, SpecialFilesAsPxeImagesAreNotReadNorFlashed)
{
    AddStandardAdapter(0);
    const std::string dir = CatalogDir + "/pxe/";
    ASSERT_EQ(::mkfifo((dir + "fifo.rom").c_str(), 0644), 0);
    std::filesystem::create_directories(dir + "dir.rom");
    std::filesystem::create_symlink("/dev/zero", dir + "zero.rom");
    std::filesystem::create_symlink("/dev/null", dir + "null.rom");
    std::string catalog, failures;
    for (const char* name : {"fifo.rom", "dir.rom", "zero.rom", "null.rom"}) {
        catalog += PciId(0) + " " + name + " -\n";
        failures += "Failed to read file (" + PxeDir + name + ") into memory!\n";
    }
    PxeCatalog(catalog);
    RunResult r = Run({"-s", "-F"});
    EXPECT_EQ(r.Status, 2);
    EXPECT_EQ(r.Out, "");
    EXPECT_EQ(Log(), std::string(Banner) + Heading(0) + failures);
    EXPECT_TRUE(FlashToolArguments().empty());
    EXPECT_EQ(ToolTrace(), BringUp({"eth0"}));
}

TEST_F(UpgradeCatalogTest, FileOfExactlyTheMaximumSizeIsRead)
{
    AddStandardAdapter(0);
    std::vector<uint8_t> file = sim::BuildOptionRomFile(sim::OptionRom::Pxe, 8, 4, 0);
    file.resize(1048576, 0);
    WriteCatalogImage("pxe", "full.rom", file);
    PxeCatalog(PciId(0) + " full.rom -\n");
    RunResult r = RunWithInput({}, "n\n");
    EXPECT_EQ(r.Status, 2);
    EXPECT_EQ(r.Out, std::string(Banner) + Heading(0) + Prompt("PXE 8.3.5 to 8.4.0", "y"));
}

// No version found: an empty description, the more-recent warning, default no.
// A file whose version lies beyond its end: ImageFileTest.OptionRomFileVersionAndItsBounds
// and ConfirmTest.PxeComparesBuildAsNumberAndMissingVersionCountsOlder (unit).
TEST_F(UpgradeCatalogTest, PxeFileWithoutVersionIsOfferedWithAnEmptyDescription)
{
    AddStandardAdapter(0);
    WriteCatalogImage("pxe", "empty.rom", {});
    PxeCatalog(PciId(0) + " empty.rom -\n");
    RunResult r = RunWithInput({}, "y\n");
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(r.Out, std::string(Banner) + Heading(0) + PxeOlder + "Update  -  y/n/q (n):" + Notice +
                         Selecting(0) + "Upgrading \n" + Complete);
    EXPECT_EQ(ToolTrace(), Lines({{FlashRom(0, PxeDir, "empty.rom", ".bc1.9.6.p8.3.5.bin", true)},
                                  AfterGoodFlash("eth0"),
                                  BringUp({"eth0"})}));
}

// ---------------------------------------------------------------------------
// Confirmation

// One image of each kind and installed option ROM; the other versions:
// ConfirmTest.WarningsAndDefaultsPerKind (unit).
TEST_F(UpgradeCatalogTest, ImagesNotNewerAreWarnedAboutAndProposedWithNo)
{
    struct Case {
        sim::OptionRom rom;
        std::string kind, entry, shown;
    };
    const std::vector<Case> cases = {
        {sim::OptionRom::Pxe, "bootcode", "v1.9.6", BootCodeSame + Prompt("Boot Code 1.9.6 to 1.9.6", "n")},
        {sim::OptionRom::Pxe, "pxe", "8.2.9", PxeOlder + Prompt("PXE 8.3.5 to 8.2.9", "n")},
        {sim::OptionRom::Clp, "clp", "v8.3.4", ClpOlder + Prompt("CLP 8.3.5 to 8.3.4", "n")},
        {sim::OptionRom::Iscsi, "clp", "v8.3.5", ClpSame + Prompt("iSCSI 8.3.5 to CLP 8.3.5", "n")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind + " " + c.entry);
        ClearRecords();
        std::filesystem::remove(FleetDir + "/adapter00.conf");
        AddAdapter([&] {
            sim::AdapterSpec spec = MakeAdapter(0, c.rom);
            spec.FileName = "adapter00.conf";
            return spec;
        }());
        AddNvram("adapter00.nvram", sim::BuildNvramImage(MakeNvram(0, c.rom)));
        for (const char* kind : {"bootcode", "pxe", "clp"})
            std::filesystem::remove(CatalogDir + "/" + kind + "/" + kind + ".info");
        if (c.kind == "pxe") {
            WriteCatalogImage("pxe", "image",
                              sim::BuildOptionRomFile(sim::OptionRom::Pxe, c.entry[0] - '0', c.entry[2] - '0',
                                                      c.entry[4] - '0'));
            PxeCatalog(PciId(0) + " image -\n");
        } else {
            WriteCatalogFile(c.kind, PciId(0) + " image " + c.entry + "\n");
        }
        RunResult r = RunWithInput({}, "n\n");
        EXPECT_EQ(r.Status, 2);
        EXPECT_EQ(r.Out, std::string(Banner) + Heading(0) + c.shown);
        EXPECT_EQ(ToolTrace(), BringUp({"eth0"}));
    }
}

TEST_F(UpgradeCatalogTest, DeclinedOlderImageForcesEveryLaterToolRun)
{
    AddStandardAdapter(0);
    AddStandardAdapter(1);
    BootCodeCatalog(PciId(0) + " old.bin v1.9.5\n" + PciId(1) + " bc.bin v2.0.1\n");
    OfferPxe(0, "pxe.rom", 8, 4, 0);
    RunResult r = RunWithInput({}, "n\ny\ny\n");
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(r.Out, std::string(Banner) + Heading(0) + BootCodeOlder +
                         Prompt("Boot Code 1.9.6 to 1.9.5", "n") + Prompt("PXE 8.3.5 to 8.4.0", "y") +
                         Heading(1) + Prompt("Boot Code 1.9.6 to 2.0.1", "y") + Notice + Selecting(0) +
                         Upgrading("PXE 8.3.5 to 8.4.0") + Selecting(1) +
                         Upgrading("Boot Code 1.9.6 to 2.0.1") + Complete);
    EXPECT_EQ(ToolTrace(), Lines({{FlashRom(0, PxeDir, "pxe.rom", ".bc1.9.6.p8.3.5.bin", true)},
                                  AfterGoodFlash("eth0"),
                                  {FlashBootCode(1, "bc.bin", ".bc1.9.6.bin", true)},
                                  AfterGoodFlash("eth1"),
                                  BringUp({"eth0", "eth1"})}));
}

TEST_F(UpgradeCatalogTest, ClpForAPxeAdapterIsAnUpgradeAndForcesTheTool)
{
    AddStandardAdapter(0);
    OfferPxe(0, "pxe.rom", 8, 4, 0);
    WriteCatalogImage("clp", "clp.rom", sim::BuildOptionRomFile(sim::OptionRom::Clp, 3, 1, 2));
    ClpCatalog(PciId(0) + " clp.rom v3.1.2\n");
    RunResult r = RunWithInput({}, "\n\n");
    EXPECT_EQ(r.Status, 0);
    // Without boot code, each option ROM run selects the adapter itself.
    EXPECT_EQ(r.Out, std::string(Banner) + Heading(0) + Prompt("PXE 8.3.5 to 8.4.0", "y") +
                         Prompt("PXE 0.0.0 to CLP 3.1.2", "y") + Notice + Selecting(0) +
                         Upgrading("PXE 8.3.5 to 8.4.0") + Selecting(0) +
                         Upgrading("PXE 0.0.0 to CLP 3.1.2") + Complete);
    EXPECT_EQ(ToolTrace(), Lines({{FlashRom(0, PxeDir, "pxe.rom", ".bc1.9.6.p8.3.5.bin", true)},
                                  AfterGoodFlash("eth0"),
                                  {FlashRom(0, ClpDir, "clp.rom", ".bc1.9.6.p0.0.0.bin", true)},
                                  AfterGoodFlash("eth0"),
                                  BringUp({"eth0"})}));
}

TEST_F(UpgradeCatalogTest, ClpForAPxeAdapterMakesSilentAcceptOlderImagesLaterInTheRun)
{
    AddStandardAdapter(0);
    AddStandardAdapter(1);
    WriteCatalogImage("clp", "clp.rom", sim::BuildOptionRomFile(sim::OptionRom::Clp, 3, 1, 2));
    ClpCatalog(PciId(0) + " clp.rom v3.1.2\n");
    BootCodeCatalog(PciId(1) + " old.bin v1.9.5\n");
    RunResult r = Run({"-s"});
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(r.Out, "");
    EXPECT_EQ(Log(), std::string(Banner) + Heading(0) + Heading(1) + BootCodeOlder + Selecting(0) +
                         Upgrading("PXE 0.0.0 to CLP 3.1.2") + Selecting(1) +
                         Upgrading("Boot Code 1.9.6 to 1.9.5") + Complete);
    EXPECT_EQ(ToolTrace(), Lines({{FlashRom(0, ClpDir, "clp.rom", ".bc1.9.6.p0.0.0.bin", true)},
                                  AfterGoodFlash("eth0"),
                                  {FlashBootCode(1, "old.bin", ".bc1.9.6.bin", true)},
                                  AfterGoodFlash("eth1"),
                                  BringUp({"eth0", "eth1"})}));
}

} // namespace
} // namespace systest
