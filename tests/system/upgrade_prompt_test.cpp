// The operator's answers through the real binary: answer words, defaults,
// end of input, overlong lines, and the -s, -F and -y modes.
#include <string>
#include <vector>

#include "upgrade_support.h"

namespace systest {
namespace {

using namespace upgrade;

class UpgradePromptTest : public UpgradeFixture {
protected:
    // One adapter and one boot code image with the given version token.
    void OneBootCodeQuestion(const std::string& version)
    {
        AddStandardAdapter(0);
        BootCodeCatalog(PciId(0) + " bc.bin " + version + "\n");
    }
};

// The answer words: Prompt.AnswerWordsAreMatchedExactly (unit).
TEST_F(UpgradePromptTest, YesWordsAcceptTheImage)
{
    OneBootCodeQuestion("v2.0.1");
    RunResult r = RunWithInput({}, "yes\n");
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(Log(), std::string(Banner) + Heading(0) + Prompt("Boot Code 1.9.6 to 2.0.1", "y") + "yes\n" +
                         Selecting(0) + Upgrading("Boot Code 1.9.6 to 2.0.1") + Complete);
    EXPECT_EQ(
        ToolTrace(),
        Lines({{FlashBootCode(0, "bc.bin", ".bc1.9.6.bin")}, AfterGoodFlash("eth0"), BringUp({"eth0"})}));
}

TEST_F(UpgradePromptTest, QuitWordsCancelTheRunBeforeAnythingIsWritten)
{
    OneBootCodeQuestion("v2.0.1");
    RunResult r = RunWithInput({}, "Quit\n");
    EXPECT_EQ(r.Status, 2);
    const std::string question = Prompt("Boot Code 1.9.6 to 2.0.1", "y");
    EXPECT_EQ(r.Out, std::string(Banner) + Heading(0) + question + Cancelled);
    EXPECT_EQ(Log(), std::string(Banner) + Heading(0) + question + "Quit\n" + Cancelled);
    // Neither the tool nor the interfaces are touched, and the library stays open.
    EXPECT_EQ(ToolTrace(), std::vector<std::string>{});
    EXPECT_EQ(CountBmapiCalls("BmapiUninitialize"), 0u);
}

TEST_F(UpgradePromptTest, AnythingElseDeclinesTheImage)
{
    OneBootCodeQuestion("v2.0.1");
    RunResult r = RunWithInput({}, "yES\n");
    EXPECT_EQ(r.Status, 2);
    const std::string question = Prompt("Boot Code 1.9.6 to 2.0.1", "y");
    EXPECT_EQ(r.Out, std::string(Banner) + Heading(0) + question);
    EXPECT_EQ(Log(), std::string(Banner) + Heading(0) + question + "yES\n");
    EXPECT_EQ(ToolTrace(), BringUp({"eth0"}));
    EXPECT_EQ(CountBmapiCalls("BmapiUninitialize"), 1u);
}

// An older image: ConfirmTest.WarningsAndDefaultsPerKind (unit).
TEST_F(UpgradePromptTest, EmptyLineDeclinesTheSameOrAnOlderImage)
{
    OneBootCodeQuestion("v1.9.6");
    RunResult r = RunWithInput({}, "\n");
    EXPECT_EQ(r.Status, 2);
    const std::string question = Prompt("Boot Code 1.9.6 to 1.9.6", "n");
    EXPECT_EQ(r.Out, std::string(Banner) + Heading(0) + BootCodeSame + question);
    EXPECT_EQ(Log(), std::string(Banner) + Heading(0) + BootCodeSame + question + "\n");
    EXPECT_EQ(ToolTrace(), BringUp({"eth0"}));
}

TEST_F(UpgradePromptTest, EndOfInputQuits)
{
    OneBootCodeQuestion("v2.0.1");
    const std::string question = Prompt("Boot Code 1.9.6 to 2.0.1", "y");
    for (InputKind kind : {InputKind::DevNull, InputKind::Closed}) {
        SCOPED_TRACE(static_cast<int>(kind));
        ClearRecords();
        RunOptions options;
        options.Stdin = kind;
        RunResult r = Run({}, options);
        EXPECT_EQ(r.Status, 2);
        EXPECT_EQ(r.Out, std::string(Banner) + Heading(0) + question + InputProblem + Cancelled);
        EXPECT_EQ(Log(), std::string(Banner) + Heading(0) + question + InputProblem + Cancelled);
        EXPECT_EQ(ToolTrace(), std::vector<std::string>{});
        EXPECT_EQ(CountBmapiCalls("BmapiUninitialize"), 0u);
    }
}

TEST_F(UpgradePromptTest, InputEndingBeforeTheLastQuestionQuitsThere)
{
    OneBootCodeQuestion("v2.0.1");
    OfferPxe(0, "pxe.rom", 8, 4, 0);
    RunResult r = RunWithInput({}, "y\n");
    EXPECT_EQ(r.Status, 2);
    EXPECT_EQ(r.Out, std::string(Banner) + Heading(0) + Prompt("Boot Code 1.9.6 to 2.0.1", "y") +
                         Prompt("PXE 8.3.5 to 8.4.0", "y") + InputProblem + Cancelled);
    EXPECT_EQ(ToolTrace(), std::vector<std::string>{});
}

// A lone character at the end of input is an answer, not an empty line. A
// lone y: Prompt.ALastAnswerWithoutLineEndIsJudgedAsTyped (unit).
TEST_F(UpgradePromptTest, OneCharacterWithoutLineEndIsJudgedAsTyped)
{
    OneBootCodeQuestion("v2.0.1");
    RunResult r = RunWithInput({}, "n");
    EXPECT_EQ(r.Status, 2);
    EXPECT_EQ(r.Out, std::string(Banner) + Heading(0) + Prompt("Boot Code 1.9.6 to 2.0.1", "y"));
    EXPECT_EQ(Log(), std::string(Banner) + Heading(0) + Prompt("Boot Code 1.9.6 to 2.0.1", "y") + "n");
    EXPECT_EQ(ToolTrace(), BringUp({"eth0"}));
}

// Only the first 79 characters of a line count; the rest of the line must
// not answer the next question.
TEST_F(UpgradePromptTest, OverlongAnswerIsJudgedOnItsFirst79CharactersAndTheRestDiscarded)
{
    OneBootCodeQuestion("v2.0.1");
    OfferPxe(0, "pxe.rom", 8, 4, 0);
    const std::string kept(79, 'x');
    RunResult r = RunWithInput({}, kept + std::string(120, 'q') + "\ny\n");
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(r.Out, std::string(Banner) + Heading(0) + Prompt("Boot Code 1.9.6 to 2.0.1", "y") +
                         Prompt("PXE 8.3.5 to 8.4.0", "y") + Notice + Selecting(0) +
                         Upgrading("PXE 8.3.5 to 8.4.0") + Complete);
    EXPECT_EQ(Log(), std::string(Banner) + Heading(0) + Prompt("Boot Code 1.9.6 to 2.0.1", "y") + kept +
                         "\n" + Prompt("PXE 8.3.5 to 8.4.0", "y") + "y\n" + Selecting(0) +
                         Upgrading("PXE 8.3.5 to 8.4.0") + Complete);
    EXPECT_EQ(ToolTrace(), Lines({{FlashRom(0, PxeDir, "pxe.rom", ".bc1.9.6.p8.3.5.bin")},
                                  AfterGoodFlash("eth0"),
                                  BringUp({"eth0"})}));
}

TEST_F(UpgradePromptTest, QuitAtTheBootCodeQuestionAsksNothingMore)
{
    AddStandardAdapter(0);
    AddStandardAdapter(1);
    BootCodeCatalog(PciId(0) + " bc.bin v2.0.1\n" + PciId(1) + " bc.bin v2.0.1\n");
    OfferPxe(0, "pxe.rom", 8, 4, 0);
    RunResult r = RunWithInput({}, "q\ny\ny\n");
    EXPECT_EQ(r.Status, 2);
    EXPECT_EQ(r.Out, std::string(Banner) + Heading(0) + Prompt("Boot Code 1.9.6 to 2.0.1", "y") + Cancelled);
    EXPECT_EQ(ToolTrace(), std::vector<std::string>{});
    EXPECT_EQ(CountBmapiCalls("BmapiUninitialize"), 0u);
}

TEST_F(UpgradePromptTest, QuitAtThePxeQuestionStillAsksTheClpQuestionOfThatAdapter)
{
    AddStandardAdapter(0);
    AddStandardAdapter(1);
    BootCodeCatalog(PciId(0) + " bc.bin v2.0.1\n" + PciId(1) + " bc.bin v2.0.1\n");
    OfferPxe(0, "pxe.rom", 8, 4, 0);
    WriteCatalogImage("clp", "clp.rom", sim::BuildOptionRomFile(sim::OptionRom::Clp, 3, 1, 2));
    ClpCatalog(PciId(0) + " clp.rom v3.1.2\n");
    RunResult r = RunWithInput({}, "y\nq\ny\ny\n");
    EXPECT_EQ(r.Status, 2);
    // The second adapter is never examined.
    EXPECT_EQ(r.Out, std::string(Banner) + Heading(0) + Prompt("Boot Code 1.9.6 to 2.0.1", "y") +
                         Prompt("PXE 8.3.5 to 8.4.0", "y") + Prompt("PXE 0.0.0 to CLP 3.1.2", "y") +
                         Cancelled);
    EXPECT_EQ(Log(), std::string(Banner) + Heading(0) + Prompt("Boot Code 1.9.6 to 2.0.1", "y") + "y\n" +
                         Prompt("PXE 8.3.5 to 8.4.0", "y") + "q\n" + Prompt("PXE 0.0.0 to CLP 3.1.2", "y") +
                         "y\n" + Cancelled);
    EXPECT_EQ(ToolTrace(), std::vector<std::string>{});
    EXPECT_EQ(CountBmapiCalls("BmapiUninitialize"), 0u);
}

// ---------------------------------------------------------------------------
// Answering without asking

class UnaskedTest : public UpgradePromptTest {
protected:
    // Adapter 0 is offered newer boot code, adapter 1 older.
    void SetUp() override
    {
        UpgradePromptTest::SetUp();
        AddStandardAdapter(0);
        AddStandardAdapter(1);
        BootCodeCatalog(PciId(0) + " bc.bin v2.0.1\n" + PciId(1) + " bc.bin v1.9.5\n");
    }
};

TEST_F(UnaskedTest, SilentAcceptsNewerDeclinesOlderAndPrintsNothing)
{
    RunResult r = RunWithInput({"-s"}, "q\nq\n");
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(r.Out, "");
    EXPECT_EQ(r.Err, "");
    // The older image's warning forces every tool run of the program.
    EXPECT_EQ(Log(), std::string(Banner) + Heading(0) + Heading(1) + BootCodeOlder + Selecting(0) +
                         Upgrading("Boot Code 1.9.6 to 2.0.1") + Complete);
    EXPECT_EQ(ToolTrace(), Lines({{FlashBootCode(0, "bc.bin", ".bc1.9.6.bin", true)},
                                  AfterGoodFlash("eth0"),
                                  BringUp({"eth0", "eth1"})}));
}

TEST_F(UnaskedTest, SilentForceAlsoWritesTheOlderImage)
{
    RunResult r = RunWithInput({"-s", "-F"}, "q\nq\n");
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(r.Out, "");
    EXPECT_EQ(Log(), std::string(Banner) + Heading(0) + Heading(1) + BootCodeOlder + Selecting(0) +
                         Upgrading("Boot Code 1.9.6 to 2.0.1") + Selecting(1) +
                         Upgrading("Boot Code 1.9.6 to 1.9.5") + Complete);
    EXPECT_EQ(ToolTrace(), Lines({{FlashBootCode(0, "bc.bin", ".bc1.9.6.bin", true)},
                                  AfterGoodFlash("eth0"),
                                  {FlashBootCode(1, "bc.bin", ".bc1.9.6.bin", true)},
                                  AfterGoodFlash("eth1"),
                                  BringUp({"eth0", "eth1"})}));
}

// -s with -y answers as -s alone: Prompt.SilentAndDefaultModesAnswerWithoutAsking (unit).
TEST_F(UnaskedTest, AssumeDefaultTakesTheDefaultsWithoutReadingInput)
{
    // Quit answers waiting on the input are never read.
    RunResult r = RunWithInput({"-y"}, "q\nq\n");
    EXPECT_EQ(r.Status, 0);
    const std::string console = std::string(Banner) + Heading(0) + Heading(1) + BootCodeOlder + Notice +
                                Selecting(0) + Upgrading("Boot Code 1.9.6 to 2.0.1") + Complete;
    EXPECT_EQ(r.Out, console);
    EXPECT_EQ(Log(), WithoutNotice(console));
    EXPECT_EQ(ToolTrace(), Lines({{FlashBootCode(0, "bc.bin", ".bc1.9.6.bin", true)},
                                  AfterGoodFlash("eth0"),
                                  BringUp({"eth0", "eth1"})}));
}

} // namespace
} // namespace systest
