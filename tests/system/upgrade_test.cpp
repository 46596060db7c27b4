// The upgrade run from selection to outcome, through the real binary: the
// update pass, the flashing tool's command lines, the driver reload, the
// interface bring-up and the final message and exit status.
#include <filesystem>
#include <string>
#include <vector>

#include "upgrade_support.h"

namespace systest {
namespace {

using namespace upgrade;

class UpgradeRunTest : public UpgradeFixture {};

TEST_F(UpgradeRunTest, EmptyCatalogWritesNothingAndStillRaisesTheInterface)
{
    AddStandardAdapter(0);
    RunResult r = Run({});
    const std::string console = std::string(Banner) + Heading(0);
    EXPECT_EQ(r.Status, 2);
    EXPECT_EQ(r.Out, console);
    EXPECT_EQ(r.Err, "");
    EXPECT_EQ(Log(), console);
    EXPECT_EQ(Trace(), (std::vector<std::string>{"ifconfig eth0 up", "sleep 1"}));
    EXPECT_EQ(CountBmapiCalls("BmapiUninitialize"), 1u);
}

// One adapter, a newer boot code image in the catalog, an empty answer.
TEST_F(UpgradeRunTest, OneNewerBootCodeImageAcceptedWithAnEmptyAnswerIsWrittenAndTheDriverReloaded)
{
    AddStandardAdapter(0);
    BootCodeCatalog(PciId(0) + " bc_201.bin v2.0.1\n");
    RunResult r = RunWithInput({}, "\n");

    const std::string question = Prompt("Boot Code 1.9.6 to 2.0.1", "y");
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(r.Out, std::string(Banner) + Heading(0) + question + Notice + Selecting(0) +
                         Upgrading("Boot Code 1.9.6 to 2.0.1") + Complete);
    EXPECT_EQ(r.Err, "");
    // The typed line completes the question's line; the notice is console only.
    EXPECT_EQ(Log(), std::string(Banner) + Heading(0) + question + "\n" + Selecting(0) +
                         Upgrading("Boot Code 1.9.6 to 2.0.1") + Complete);
    EXPECT_EQ(
        ToolTrace(),
        Lines({{FlashBootCode(0, "bc_201.bin", ".bc1.9.6.bin")}, AfterGoodFlash("eth0"), BringUp({"eth0"})}));
    EXPECT_EQ(FlashToolArguments(),
              (std::vector<std::vector<std::string>>{{Mac(0), "upgrade", "-bc", BootCodeDir + "bc_201.bin",
                                                      BackupDir + Mac(0) + ".bc1.9.6.bin"}}));
    EXPECT_EQ(CountBmapiCalls("BmapiUninitialize"), 1u);
}

TEST_F(UpgradeRunTest, BootCodeBackupNamesThePxeCompanionWhenAPxeImageWasRead)
{
    // The PXE image is read and declined: its version bits stay and the
    // boot code backup names the installed PXE version beside it.
    AddStandardAdapter(0);
    BootCodeCatalog(PciId(0) + " bc_201.bin v2.0.1\n");
    OfferPxe(0, "pxe_840.rom", 8, 4, 0);
    RunResult r = RunWithInput({}, "y\nn\n");
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(r.Out, std::string(Banner) + Heading(0) + Prompt("Boot Code 1.9.6 to 2.0.1", "y") +
                         Prompt("PXE 8.3.5 to 8.4.0", "y") + Notice + Selecting(0) +
                         Upgrading("Boot Code 1.9.6 to 2.0.1") + Complete);
    EXPECT_EQ(ToolTrace(), Lines({{FlashBootCode(0, "bc_201.bin", ".bc1.9.6.p8.3.5.bin")},
                                  AfterGoodFlash("eth0"),
                                  BringUp({"eth0"})}));
}

TEST_F(UpgradeRunTest, BootCodeAndPxeOfOneAdapterAreWrittenInTurnEachWithItsReload)
{
    AddStandardAdapter(0);
    BootCodeCatalog(PciId(0) + " bc_201.bin v2.0.1\n");
    OfferPxe(0, "pxe_840.rom", 8, 4, 0);
    RunResult r = RunWithInput({}, "\n\n");
    EXPECT_EQ(r.Status, 0);
    // One selecting line, two upgrading lines.
    EXPECT_EQ(r.Out, std::string(Banner) + Heading(0) + Prompt("Boot Code 1.9.6 to 2.0.1", "y") +
                         Prompt("PXE 8.3.5 to 8.4.0", "y") + Notice + Selecting(0) +
                         Upgrading("Boot Code 1.9.6 to 2.0.1") + Upgrading("PXE 8.3.5 to 8.4.0") + Complete);
    // The PXE backup carries the accepted boot code's major and minor with
    // the installed build.
    EXPECT_EQ(ToolTrace(), Lines({{FlashBootCode(0, "bc_201.bin", ".bc1.9.6.p8.3.5.bin")},
                                  AfterGoodFlash("eth0"),
                                  {FlashRom(0, PxeDir, "pxe_840.rom", ".bc2.0.6.p8.3.5.bin")},
                                  AfterGoodFlash("eth0"),
                                  BringUp({"eth0"})}));
}

TEST_F(UpgradeRunTest, NoticeIsPrintedOnceAndEachAdapterIsSelectedBeforeItsWrites)
{
    AddStandardAdapter(0);
    AddStandardAdapter(1, sim::OptionRom::Clp);
    BootCodeCatalog(PciId(0) + " bc_201.bin v2.0.1\n");
    OfferPxe(0, "pxe_840.rom", 8, 4, 0);
    WriteCatalogImage("clp", "clp_900.rom", sim::BuildOptionRomFile(sim::OptionRom::Clp, 9, 0, 0));
    ClpCatalog(PciId(1) + " clp_900.rom v9.0.0\n");
    // Adapter 0: boot code declined, PXE accepted. Adapter 1: CLP accepted.
    RunResult r = RunWithInput({}, "n\ny\ny\n");
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(r.Out, std::string(Banner) + Heading(0) + Prompt("Boot Code 1.9.6 to 2.0.1", "y") +
                         Prompt("PXE 8.3.5 to 8.4.0", "y") + Heading(1) + Prompt("CLP 8.3.5 to 9.0.0", "y") +
                         Notice + Selecting(0) + Upgrading("PXE 8.3.5 to 8.4.0") + Selecting(1) +
                         Upgrading("CLP 8.3.5 to 9.0.0") + Complete);
    EXPECT_EQ(ToolTrace(), Lines({{FlashRom(0, PxeDir, "pxe_840.rom", ".bc1.9.6.p8.3.5.bin")},
                                  AfterGoodFlash("eth0"),
                                  {FlashRom(1, ClpDir, "clp_900.rom", ".bc1.9.6.p8.3.5.bin")},
                                  AfterGoodFlash("eth1"),
                                  BringUp({"eth0", "eth1"})}));
}

TEST_F(UpgradeRunTest, EveryQuestionDeclinedWritesNothingButRaisesTheInterfaces)
{
    AddStandardAdapter(0);
    AddStandardAdapter(1);
    BootCodeCatalog(PciId(0) + " bc_201.bin v2.0.1\n" + PciId(1) + " bc_201.bin v2.0.1\n");
    OfferPxe(0, "pxe_840.rom", 8, 4, 0);
    RunResult r = RunWithInput({}, "n\nno\nN\n");
    EXPECT_EQ(r.Status, 2);
    const std::string console = std::string(Banner) + Heading(0) + Prompt("Boot Code 1.9.6 to 2.0.1", "y") +
                                Prompt("PXE 8.3.5 to 8.4.0", "y") + Heading(1) +
                                Prompt("Boot Code 1.9.6 to 2.0.1", "y");
    EXPECT_EQ(r.Out, console);
    EXPECT_EQ(Log(), std::string(Banner) + Heading(0) + Prompt("Boot Code 1.9.6 to 2.0.1", "y") + "n\n" +
                         Prompt("PXE 8.3.5 to 8.4.0", "y") + "no\n" + Heading(1) +
                         Prompt("Boot Code 1.9.6 to 2.0.1", "y") + "N\n");
    EXPECT_EQ(ToolTrace(), BringUp({"eth0", "eth1"}));
    EXPECT_EQ(CountBmapiCalls("BmapiUninitialize"), 1u);
}

// ---------------------------------------------------------------------------
// Failures of the tool and of the reload

// A tool whose shell is killed: Update.AToolWhoseShellIsKilledHasFailed (unit).
TEST_F(UpgradeRunTest, ToolFailureIsReportedWithItsCodeInHexAndSkipsTheReload)
{
    AddStandardAdapter(0);
    BootCodeCatalog(PciId(0) + " bc_201.bin v2.0.1\n");
    Tools.Wrenflash = 10;
    RunResult r = RunWithInput({}, "\n");
    EXPECT_EQ(r.Status, 3);
    const std::string question = Prompt("Boot Code 1.9.6 to 2.0.1", "y");
    EXPECT_EQ(r.Out, std::string(Banner) + Heading(0) + question + Notice + Selecting(0) +
                         Upgrading("Boot Code 1.9.6 to 2.0.1") + ToolFailedConsole(0) + WithErrors);
    EXPECT_EQ(Log(), std::string(Banner) + Heading(0) + question + "\n" + Selecting(0) +
                         Upgrading("Boot Code 1.9.6 to 2.0.1") + ToolFailedLog(0, "a") + WithErrors);
    EXPECT_EQ(ToolTrace(),
              Lines({{FlashBootCode(0, "bc_201.bin", ".bc1.9.6.bin"), Answers}, BringUp({"eth0"})}));
    EXPECT_EQ(CountBmapiCalls("BmapiUninitialize"), 1u);
}

TEST_F(UpgradeRunTest, OneImageWrittenAndAnotherFailingEndsWithErrors)
{
    AddStandardAdapter(0);
    AddStandardAdapter(1);
    BootCodeCatalog(PciId(0) + " bc_201.bin v2.0.1\n" + PciId(1) + " bc_201.bin v2.0.1\n");
    Tools.WrenflashByMac[Mac(0)] = 1;
    RunResult r = RunWithInput({}, "\n\n");
    EXPECT_EQ(r.Status, 3);
    const std::string question = Prompt("Boot Code 1.9.6 to 2.0.1", "y");
    EXPECT_EQ(r.Out, std::string(Banner) + Heading(0) + question + Heading(1) + question + Notice +
                         Selecting(0) + Upgrading("Boot Code 1.9.6 to 2.0.1") + ToolFailedConsole(0) +
                         Selecting(1) + Upgrading("Boot Code 1.9.6 to 2.0.1") + WithErrors);
    EXPECT_EQ(Log(), std::string(Banner) + Heading(0) + question + "\n" + Heading(1) + question + "\n" +
                         Selecting(0) + Upgrading("Boot Code 1.9.6 to 2.0.1") + ToolFailedLog(0, "1") +
                         Selecting(1) + Upgrading("Boot Code 1.9.6 to 2.0.1") + WithErrors);
    EXPECT_EQ(ToolTrace(), Lines({{FlashBootCode(0, "bc_201.bin", ".bc1.9.6.bin"), Answers},
                                  {FlashBootCode(1, "bc_201.bin", ".bc1.9.6.bin")},
                                  AfterGoodFlash("eth1"),
                                  BringUp({"eth0", "eth1"})}));
}

// A failing rmmod or modprobe: Update/Reload.StopsAtTheFirstFailingCommand (unit).
TEST_F(UpgradeRunTest, FailedInterfaceAfterTheReloadSaysEthxAndTheBringUpNamesIt)
{
    AddStandardAdapter(0);
    BootCodeCatalog(PciId(0) + " bc_201.bin v2.0.1\n");
    Tools.Ifconfig = 1;
    RunResult r = RunWithInput({}, "\n");
    EXPECT_EQ(r.Status, 3);
    const std::string messages = "ERROR: Failed ifconfig ethx up\n";
    const std::string bringUp = "ERROR: Failed ifconfig eth0 up\n";
    const std::string question = Prompt("Boot Code 1.9.6 to 2.0.1", "y");
    EXPECT_EQ(r.Out, std::string(Banner) + Heading(0) + question + Notice + Selecting(0) +
                         Upgrading("Boot Code 1.9.6 to 2.0.1") + messages + bringUp + WithErrors);
    EXPECT_EQ(Log(), std::string(Banner) + Heading(0) + question + "\n" + Selecting(0) +
                         Upgrading("Boot Code 1.9.6 to 2.0.1") + messages + bringUp + WithErrors);
    EXPECT_EQ(ToolTrace(), Lines({{FlashBootCode(0, "bc_201.bin", ".bc1.9.6.bin")},
                                  AfterGoodFlash("eth0"),
                                  {"ifconfig eth0 up"}}));
    // A failed bring-up leaves the library open.
    EXPECT_EQ(CountBmapiCalls("BmapiUninitialize"), 0u);
}

TEST_F(UpgradeRunTest, SecondOfThreeInterfacesFailingStopsTheBringUpButNotTheOutcome)
{
    for (int i = 0; i < 3; ++i)
        AddStandardAdapter(i);
    BootCodeCatalog(PciId(0) + " bc_201.bin v2.0.1\n");
    Tools.IfconfigByName["eth1"] = 1;
    RunResult r = RunWithInput({}, "\n");
    EXPECT_EQ(r.Status, 0);
    const std::string message = "ERROR: Failed ifconfig eth1 up\n";
    const std::string question = Prompt("Boot Code 1.9.6 to 2.0.1", "y");
    EXPECT_EQ(r.Out, std::string(Banner) + Heading(0) + question + Heading(1) + Heading(2) + Notice +
                         Selecting(0) + Upgrading("Boot Code 1.9.6 to 2.0.1") + message + Complete);
    EXPECT_EQ(Log(), std::string(Banner) + Heading(0) + question + "\n" + Heading(1) + Heading(2) +
                         Selecting(0) + Upgrading("Boot Code 1.9.6 to 2.0.1") + message + Complete);
    EXPECT_EQ(ToolTrace(), Lines({{FlashBootCode(0, "bc_201.bin", ".bc1.9.6.bin")},
                                  AfterGoodFlash("eth0"),
                                  BringUp({"eth0"}),
                                  {"ifconfig eth1 up"}}));
    EXPECT_EQ(CountBmapiCalls("BmapiUninitialize"), 0u);
}

TEST_F(UpgradeRunTest, FailedBringUpWithNothingWrittenStillEndsWithStatusTwo)
{
    for (int i = 0; i < 3; ++i)
        AddStandardAdapter(i);
    Tools.IfconfigByName["eth1"] = 1;
    RunResult r = Run({});
    EXPECT_EQ(r.Status, 2);
    const std::string message = "ERROR: Failed ifconfig eth1 up\n";
    EXPECT_EQ(r.Out, std::string(Banner) + Heading(0) + Heading(1) + Heading(2) + message);
    EXPECT_EQ(Log(), std::string(Banner) + Heading(0) + Heading(1) + Heading(2) + message);
    EXPECT_EQ(ToolTrace(), Lines({BringUp({"eth0"}), {"ifconfig eth1 up"}}));
    EXPECT_EQ(CountBmapiCalls("BmapiUninitialize"), 0u);
}

// ---------------------------------------------------------------------------
// Command lines reach the tools word for word

TEST_F(UpgradeRunTest, FieldsWithShellCharactersReachTheToolsAsOneWordEach)
{
    sim::AdapterSpec adapter = MakeAdapter(0);
    adapter.Mac = "02A0'B0 $(x)";
    adapter.Description = "Orvan Gigabit Ethernet (e;t$h0)";
    AddNvram(adapter.NvramFile, sim::BuildNvramImage(MakeNvram(0)));
    AddAdapter(adapter);
    const std::string image = "bc'2;0$(false)&1*.bin";
    BootCodeCatalog(PciId(0) + " " + image + " v2.0.1\n");
    RunResult r = RunWithInput({}, "\n");
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(r.Out, std::string(Banner) + "\nFound " + Name(0) + " MAC: 02A0'B0 $(x) \n" +
                         Prompt("Boot Code 1.9.6 to 2.0.1", "y") + Notice + "\nSelecting " + Name(0) +
                         " MAC: 02A0'B0 $(x) \n" + Upgrading("Boot Code 1.9.6 to 2.0.1") + Complete);
    EXPECT_EQ(FlashToolArguments(),
              (std::vector<std::vector<std::string>>{{"02A0'B0 $(x)", "upgrade", "-bc", BootCodeDir + image,
                                                      BackupDir + "02A0'B0 $(x).bc1.9.6.bin"}}));
    EXPECT_EQ(ToolTrace(), Lines({{Flash("02A0'B0 $(x)", "-bc", false, BootCodeDir + image,
                                         BackupDir + "02A0'B0 $(x).bc1.9.6.bin")},
                                  AfterGoodFlash("e;t$h0"),
                                  BringUp({"e;t$h0"})}));
}

TEST_F(UpgradeRunTest, ShortMacGivesABlankPaddedBackupPathThatStaysOneArgument)
{
    sim::AdapterSpec adapter = MakeAdapter(0);
    adapter.Mac = "02A0B0C0D0";
    AddNvram(adapter.NvramFile, sim::BuildNvramImage(MakeNvram(0)));
    AddAdapter(adapter);
    BootCodeCatalog(PciId(0) + " bc_201.bin v2.0.1\n");
    RunResult r = RunWithInput({}, "\n");
    EXPECT_EQ(r.Status, 0);
    // The MAC column is padded in the headings as well.
    EXPECT_EQ(r.Out, std::string(Banner) + "\nFound " + Name(0) + " MAC: 02A0B0C0D0   \n" +
                         Prompt("Boot Code 1.9.6 to 2.0.1", "y") + Notice + "\nSelecting " + Name(0) +
                         " MAC: 02A0B0C0D0   \n" + Upgrading("Boot Code 1.9.6 to 2.0.1") + Complete);
    EXPECT_EQ(FlashToolArguments(), (std::vector<std::vector<std::string>>{
                                        {"02A0B0C0D0", "upgrade", "-bc", BootCodeDir + "bc_201.bin",
                                         BackupDir + "02A0B0C0D0  .bc1.9.6.bin"}}));
}

TEST_F(UpgradeRunTest, EmptyInterfaceNameIsPassedUnchanged)
{
    sim::AdapterSpec adapter = MakeAdapter(0);
    adapter.Description = "Orvan Gigabit Ethernet";
    AddNvram(adapter.NvramFile, sim::BuildNvramImage(MakeNvram(0)));
    AddAdapter(adapter);
    BootCodeCatalog(PciId(0) + " bc_201.bin v2.0.1\n");
    RunResult r = RunWithInput({}, "\n");
    EXPECT_EQ(r.Status, 0);
    // "ifconfig  up": the recorder sees the single word up.
    EXPECT_EQ(ToolTrace(), Lines({{FlashBootCode(0, "bc_201.bin", ".bc1.9.6.bin")},
                                  {Answers, "rmmod bnx2", "modprobe bnx2", "sleep 10", "ifconfig up"},
                                  {"ifconfig up", "sleep 1"}}));
}

TEST_F(UpgradeRunTest, ToolOutputAppearsBetweenTheLinesAroundItsRun)
{
    AddStandardAdapter(0);
    AddStandardAdapter(1);
    BootCodeCatalog(PciId(0) + " bc_201.bin v2.0.1\n" + PciId(1) + " bc_201.bin v2.0.1\n");
    Tools.WrenflashOutput = "wrenflash: writing\n";
    RunResult r = RunWithInput({}, "\n\n");
    EXPECT_EQ(r.Status, 0);
    const std::string question = Prompt("Boot Code 1.9.6 to 2.0.1", "y");
    EXPECT_EQ(r.Out, std::string(Banner) + Heading(0) + question + Heading(1) + question + Notice +
                         Selecting(0) + Upgrading("Boot Code 1.9.6 to 2.0.1") + "wrenflash: writing\n" +
                         Selecting(1) + Upgrading("Boot Code 1.9.6 to 2.0.1") + "wrenflash: writing\n" +
                         Complete);
    // The tool's output is its own; the log does not receive it.
    EXPECT_EQ(Log(), std::string(Banner) + Heading(0) + question + "\n" + Heading(1) + question + "\n" +
                         Selecting(0) + Upgrading("Boot Code 1.9.6 to 2.0.1") + Selecting(1) +
                         Upgrading("Boot Code 1.9.6 to 2.0.1") + Complete);
}

TEST_F(UpgradeRunTest, ToolOutputStillReachesTheConsoleUnderSilent)
{
    AddStandardAdapter(0);
    BootCodeCatalog(PciId(0) + " bc_201.bin v2.0.1\n");
    Tools.WrenflashOutput = "wrenflash: writing\n";
    RunResult r = Run({"-s"});
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(r.Out, "wrenflash: writing\n");
}

// ---------------------------------------------------------------------------
// With the stand-in flashing tool that writes into the simulated fleet

TEST_F(UpgradeRunTest, WrittenImagesShowInTheNextListingAndTheBackupHoldsTheOldNvram)
{
    Tools.RealWrenflash = true;
    AddStandardAdapter(0);
    const std::vector<uint8_t> before = sim::BuildNvramImage(MakeNvram(0));
    sim::NvramSpec bootCode = MakeNvram(0);
    bootCode.BootCodeMajor = 2, bootCode.BootCodeMinor = 0, bootCode.BootCodeBuild = 1;
    bootCode.Rom = sim::OptionRom::None;
    WriteCatalogImage("bootcode", "bc_201.bin", sim::BuildNvramImage(bootCode));
    BootCodeCatalog(PciId(0) + " bc_201.bin v2.0.1\n");
    OfferPxe(0, "pxe_840.rom", 8, 4, 0);

    RunResult r = RunWithInput({}, "\n\n");
    EXPECT_EQ(r.Status, 0) << r.Out << r.Err;
    EXPECT_NE(r.Out.find(Complete), std::string::npos) << r.Out;

    // The tool wrote the backups where the system named them.
    std::vector<uint8_t> backup;
    ASSERT_TRUE(sim::ReadFile(Root + "/varopt/orvan/nicfw_backup/" + Mac(0) + ".bc1.9.6.p8.3.5.bin", backup));
    EXPECT_EQ(backup, before);
    EXPECT_TRUE(
        std::filesystem::exists(Root + "/varopt/orvan/nicfw_backup/" + Mac(0) + ".bc2.0.6.p8.3.5.bin"));
    ToolTrace();

    ClearRecords();
    RunResult listing = Run({"-c"});
    EXPECT_EQ(listing.Status, 0);
    EXPECT_NE(listing.Out.find("        BC      2.0.1\n       PXE      8.4.0\n"), std::string::npos)
        << listing.Out;
}

} // namespace
} // namespace systest
