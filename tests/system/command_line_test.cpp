// The command line: argument pre-check, options, combination rules, usage
// text and the choice of run mode, through the real binary.
#include <string>
#include <vector>

#include "harness.h"

namespace systest {
namespace {

const std::string Usage =
    "USAGE: tidemark [ -s [ -F ] ] [ -y [ -F ] ] [ -c ] [ -h ] \n"
    "\t With no options, interactively upgrade Boot Code, PXE and IPMI, current firmware is saved. \n"
    "\t -s  Silently upgrade Boot Code, PXE, and IPMI.\n"
    "\t -F  Force downgrade if system has newer Boot Code, PXE or IPMI.\n"
    "\t -y  Assume default repsonse for all prompts.\n"
    "\t -c  Display currently installed firmware information.\n"
    "\t -h  Display this help menu.\n";

// One adapter, boot code 1.9.6 with PXE 8.3.5, and an empty catalog: the
// upgrade run prints the banner and the adapter heading and ends with 2;
// the listing prints the adapter's block and ends with 0.
const std::string UpgradeConsole =
    std::string(Banner) + "\nFound Orvan NX2 Gigabit Adapter 0 MAC: 02A0B0C0D000 \n";
const std::string ListingConsole = "MAC          PCI-ID              NIC\n"
                                   "02A0B0C0D000 5A17-2001-5A17-0100 Orvan NX2 Gigabit Adapter 0 \n\n"
                                   "     Image      Version\n"
                                   "----------------------------------------------------------------------\n"
                                   "        BC      1.9.6\n"
                                   "       PXE      8.3.5\n"
                                   "\n";

class CommandLineTest : public SystemTest {
protected:
    void SetUp() override
    {
        SystemTest::SetUp();
        AddStandardAdapter(0);
    }

    // A refusal: nothing but the usage text (or nothing at all when -s was
    // parsed), status 2, the library never asked, nothing logged.
    void ExpectRefused(const std::vector<std::string>& args, const std::string& console)
    {
        SCOPED_TRACE(::testing::PrintToString(args));
        ClearRecords();
        RunResult r = Run(args);
        EXPECT_EQ(r.Status, 2);
        EXPECT_EQ(r.Out, console);
        EXPECT_EQ(r.Err, "");
        EXPECT_TRUE(BmapiTrace().empty());
        EXPECT_FALSE(LogExists());
        EXPECT_TRUE(Trace().empty());
    }

    void ExpectUpgrade(const std::vector<std::string>& args, bool silent = false)
    {
        SCOPED_TRACE(::testing::PrintToString(args));
        ClearRecords();
        RunResult r = Run(args);
        EXPECT_EQ(r.Status, 2);
        EXPECT_EQ(r.Out, silent ? std::string() : UpgradeConsole);
        EXPECT_EQ(r.Err, "");
        EXPECT_EQ(Log(), UpgradeConsole);
        EXPECT_EQ(Trace(), (std::vector<std::string>{"ifconfig eth0 up", "sleep 1"}));
    }

    void ExpectListing(const std::vector<std::string>& args)
    {
        SCOPED_TRACE(::testing::PrintToString(args));
        ClearRecords();
        RunResult r = Run(args);
        EXPECT_EQ(r.Status, 0);
        EXPECT_EQ(r.Out, ListingConsole);
        EXPECT_EQ(r.Err, "");
        EXPECT_FALSE(LogExists());
        EXPECT_TRUE(Trace().empty());
    }
};

TEST_F(CommandLineTest, HelpPrintsTheSevenUsageLinesExactly) { ExpectRefused({"-h"}, Usage); }

TEST_F(CommandLineTest, HelpStopsOptionParsing)
{
    // -s after -h is never parsed, so the usage text is shown.
    ExpectRefused({"-h", "-s"}, Usage);
}

TEST_F(CommandLineTest, HelpAfterSilentPrintsNothing) { ExpectRefused({"-s", "-h"}, ""); }

TEST_F(CommandLineTest, HelpAmongGroupedOptions)
{
    ExpectRefused({"-yh"}, Usage);
    ExpectRefused({"-sh"}, "");
}

// Each combination rule, with a case that only it (or it first) refuses.
TEST_F(CommandLineTest, SilentWithListingOrImageFileIsRefusedSilently)
{
    ExpectRefused({"-s", "-c"}, "");
    ExpectRefused({"-c", "-s"}, "");
    ExpectRefused({"-s", "-iimage.bin"}, "");
    ExpectRefused({"-sc"}, "");
}

TEST_F(CommandLineTest, ForceWithListingOrImageFileIsRefused)
{
    ExpectRefused({"-F", "-c"}, Usage);
    ExpectRefused({"-F", "-iimage.bin"}, Usage);
}

TEST_F(CommandLineTest, AssumeDefaultWithListingImageFileOrForceIsRefused)
{
    ExpectRefused({"-y", "-F"}, Usage);
    ExpectRefused({"-F", "-y"}, Usage);
    ExpectRefused({"-y", "-c"}, Usage);
    ExpectRefused({"-y", "-iimage.bin"}, Usage);
}

TEST_F(CommandLineTest, ListingWithImageFileIsRefused) { ExpectRefused({"-c", "-iimage.bin"}, Usage); }

TEST_F(CommandLineTest, SilentForceWithListingIsRefusedSilently)
{
    // The silent rule comes first: nothing is printed.
    ExpectRefused({"-s", "-F", "-c"}, "");
}

TEST_F(CommandLineTest, PreCheckRefusesALoneHyphen) { ExpectRefused({"-"}, Usage); }

TEST_F(CommandLineTest, PreCheckRefusesALastArgumentWithoutHyphen)
{
    // The separate file name is the last argument and holds no '-'.
    ExpectRefused({"-i", "image.bin"}, Usage);
    ExpectRefused({"image.bin"}, Usage);
}

TEST_F(CommandLineTest, PreCheckComesBeforeTheSilentOption)
{
    // -s is not parsed yet when the last argument is refused.
    ExpectRefused({"-s", "-"}, Usage);
}

TEST_F(CommandLineTest, PreCheckLooksAtTheLastArgumentOnly)
{
    // "image.bin" is not last; "-c" passes, and the operand is ignored.
    ExpectListing({"image.bin", "-c"});
}

TEST_F(CommandLineTest, UnknownOptionIsReported)
{
    RunResult r = Run({"-x"});
    EXPECT_EQ(r.Status, 2);
    EXPECT_EQ(r.Out, "Unknown command line option: x\n" + Usage);
    EXPECT_EQ(r.Err, std::string(TIDEMARK_BIN) + ": invalid option -- 'x'\n");
    EXPECT_TRUE(BmapiTrace().empty());
    EXPECT_FALSE(LogExists());
}

TEST_F(CommandLineTest, UnknownOptionAfterSilentShowsOnlyTheParserDiagnostic)
{
    RunResult r = Run({"-s", "-x"});
    EXPECT_EQ(r.Status, 2);
    EXPECT_EQ(r.Out, "");
    EXPECT_EQ(r.Err, std::string(TIDEMARK_BIN) + ": invalid option -- 'x'\n");
}

TEST_F(CommandLineTest, ImageOptionWithoutArgumentReportsTheOptionLetter)
{
    RunResult r = Run({"-i"});
    EXPECT_EQ(r.Status, 2);
    EXPECT_EQ(r.Out, "Unknown command line option: i\n" + Usage);
    EXPECT_EQ(r.Err, std::string(TIDEMARK_BIN) + ": option requires an argument -- 'i'\n");
    EXPECT_TRUE(BmapiTrace().empty());
}

TEST_F(CommandLineTest, NoArgumentsStartTheUpgradeRun) { ExpectUpgrade({}); }

TEST_F(CommandLineTest, DoubleHyphenEndsTheOptionsAndStartsTheUpgradeRun) { ExpectUpgrade({"--"}); }

TEST_F(CommandLineTest, ImageFileArgumentsThatPassStartTheUpgradeRun) { ExpectUpgrade({"-iimage.bin"}); }

TEST_F(CommandLineTest, SeparateImageFileNameWithHyphenPasses) { ExpectUpgrade({"-i", "my-image.bin"}); }

TEST_F(CommandLineTest, ListingOptionRunsTheListing) { ExpectListing({"-c"}); }

TEST_F(CommandLineTest, RepeatedOptionsChangeNothing) { ExpectListing({"-c", "-c"}); }

TEST_F(CommandLineTest, RepeatedImageFileOptionsStartTheUpgradeRun)
{
    ExpectUpgrade({"-ifirst-image.bin", "-isecond-image.bin"});
}

TEST_F(CommandLineTest, AssumeDefaultStartsTheUpgradeRunWithConsoleOutput)
{
    ExpectUpgrade({"-y"});
    ExpectUpgrade({"-y", "-y"});
}

TEST_F(CommandLineTest, ForceStartsTheUpgradeRun) { ExpectUpgrade({"-F"}); }

TEST_F(CommandLineTest, SilentStartsTheUpgradeRunWithoutConsoleOutput) { ExpectUpgrade({"-s"}, true); }

TEST_F(CommandLineTest, SilentForceStartsTheUpgradeRunWithoutConsoleOutput)
{
    ExpectUpgrade({"-s", "-F"}, true);
}

TEST_F(CommandLineTest, SilentAssumeDefaultStartsTheUpgradeRunWithoutConsoleOutput)
{
    ExpectUpgrade({"-sy"}, true);
}

TEST_F(CommandLineTest, UsageTextIsNeverLogged)
{
    WriteLog("earlier run\n");
    RunResult r = Run({"-h"});
    EXPECT_EQ(r.Out, Usage);
    EXPECT_EQ(Log(), "earlier run\n");
}

} // namespace
} // namespace systest
