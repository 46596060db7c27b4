// The start of the upgrade run (user check, banner, library refusals) and the
// log rules, through the real binary.
#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

#include "upgrade_support.h"

namespace systest {
namespace {

using namespace upgrade;

const std::string FailedToRead = "Failed to read NVRAM!\r\n";
const std::string VersionRefused301 =
    "Unsupported BMAPI version 3.0.1.\nExpect BMAPI version 3.0.2 or later.\n";

class UpgradeStartTest : public SystemTest {
protected:
    const std::string Console = std::string(Banner) + Heading(0);
};

// Root as the real or the effective user may run; anyone else is refused
// before the library is opened, silently under -s.
TEST_F(UpgradeStartTest, UserIds)
{
    if (!RunningAsRoot())
        GTEST_SKIP() << "changing user ids needs root";
    struct Case {
        uid_t Real, Effective;
        std::vector<std::string> Args;
        bool Accepted;
        std::string Refusal;
    };
    const Case cases[] = {
        {1000, 1000, {}, false, "Permission denied - must have root priveleges\n"},
        {1000, 1000, {"-s"}, false, ""},
        {1000, 0, {}, true, ""},
        {0, 1000, {}, true, ""},
    };
    AddStandardAdapter(0);
    for (const Case& c : cases) {
        SCOPED_TRACE("real " + std::to_string(c.Real) + ", effective " + std::to_string(c.Effective) + " " +
                     ::testing::PrintToString(c.Args));
        // The sanitizer runtime cannot run under a non-root effective id
        // that differs from the real one.
        if (c.Effective != 0 && c.Effective != c.Real && SanitizedBinary())
            continue;
        ClearRecords();
        RunOptions options;
        options.RealUid = c.Real;
        options.EffectiveUid = c.Effective;
        RunResult r = Run(c.Args, options);
        EXPECT_EQ(r.Status, 2);
        EXPECT_EQ(r.Err, "");
        if (c.Accepted) {
            EXPECT_EQ(r.Out, Console);
            EXPECT_EQ(Log(), Console);
        } else {
            EXPECT_EQ(r.Out, c.Refusal);
            EXPECT_FALSE(LogExists());
            EXPECT_TRUE(BmapiTrace().empty());
            EXPECT_TRUE(Trace().empty());
        }
    }
}

TEST_F(UpgradeStartTest, BannerReachesConsoleAndLog)
{
    AddStandardAdapter(0);
    RunResult r = Run({});
    EXPECT_EQ(r.Status, 2); // nothing in the catalog: no final message
    EXPECT_EQ(r.Out, Console);
    EXPECT_EQ(r.Err, "");
    EXPECT_EQ(Log(), Console);
}

TEST_F(UpgradeStartTest, SilentRunLogsWhatItDoesNotShow)
{
    AddStandardAdapter(0);
    RunResult r = Run({"-s"});
    EXPECT_EQ(r.Status, 2);
    EXPECT_EQ(r.Out, "");
    EXPECT_EQ(Log(), Console);
}

TEST_F(UpgradeStartTest, OldLibraryIsRefusedOnConsoleAndInLog)
{
    AddStandardAdapter(0);
    Library.Minor = 0;
    Library.Build = 1;
    RunResult r = Run({});
    EXPECT_EQ(r.Status, 2);
    EXPECT_EQ(r.Out, Banner + VersionRefused301);
    EXPECT_EQ(Log(), Banner + VersionRefused301);
    EXPECT_EQ(BmapiTrace(), std::vector<std::string>{"BmapiGetVersion"});
    EXPECT_TRUE(Trace().empty());
}

TEST_F(UpgradeStartTest, LibraryThatCannotBeOpenedEndsTheRunAfterTheBanner)
{
    AddStandardAdapter(0);
    Library.InitializeStatus = 4;
    RunResult r = Run({});
    EXPECT_EQ(r.Status, 2);
    EXPECT_EQ(r.Out, Banner);
    EXPECT_EQ(Log(), Banner);
    EXPECT_EQ(BmapiTrace(), (std::vector<std::string>{"BmapiGetVersion", "BmapiInitializeEx 0"}));
    EXPECT_TRUE(Trace().empty());
}

TEST_F(UpgradeStartTest, NoAdaptersEndsTheRunWithItsMessage)
{
    const std::string expected =
        std::string(Banner) + "No supported network adapters for firmware upgrade.\n";
    RunResult r = Run({});
    EXPECT_EQ(r.Status, 2);
    EXPECT_EQ(r.Out, expected);
    EXPECT_EQ(Log(), expected);
    EXPECT_EQ(BmapiTrace().back(), "BmapiUninitialize");
    EXPECT_TRUE(Trace().empty());
}

TEST_F(UpgradeStartTest, FailedNvramReadIsShownAndLogged)
{
    sim::AdapterSpec spec = MakeAdapter(0);
    spec.ReadFailOffsets = {0x18};
    AddNvram(spec.NvramFile, sim::BuildNvramImage(MakeNvram(0)));
    AddAdapter(spec);
    RunResult r = Run({});
    EXPECT_EQ(r.Status, 2);
    EXPECT_EQ(r.Out, Banner + FailedToRead + Heading(0));
    EXPECT_EQ(Log(), r.Out);
}

// ---------------------------------------------------------------------------
// Log file

TEST_F(UpgradeStartTest, MissingLogDirectoryKeepsTheConsoleCopy)
{
    RemoveLogDirectory();
    AddStandardAdapter(0);
    RunResult r = Run({});
    EXPECT_EQ(r.Status, 2);
    EXPECT_EQ(r.Out, Console);
    EXPECT_FALSE(std::filesystem::exists(LogDir));
}

TEST_F(UpgradeStartTest, ExistingLogIsAppendedTo)
{
    WriteLog("earlier run\n");
    AddStandardAdapter(0);
    RunResult r = Run({});
    EXPECT_EQ(r.Out, Console);
    EXPECT_EQ(Log(), "earlier run\n" + Console);
}

} // namespace
} // namespace systest
