// Confirmations: the warnings, questions and defaults for each image kind.
#include <gtest/gtest.h>

#include <string>

#include "catalog/confirm.h"
#include "catalog_support.h"
#include "console/prompt.h"

namespace {

namespace fs = std::filesystem;
using namespace catalogtest;

// Confirms the selection against the installed records; the log goes to the
// private /var/opt.
class ConfirmTest : public ::testing::Test, protected OneAdapter {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(InPrivateMounts()) << "run through tests/sandbox/sandbox.sh";
        LogClose();
        Install();
        fs::create_directories("/var/opt/orvan");
        test::FeedStdin("");
    }
    void TearDown() override
    {
        LogClose();
        gRun = {};
    }

    void FeedStdin(const std::string& answers) { test::FeedStdin(answers); }
};

// The adapter has boot code 1.9.6 and an option ROM 8.3.5 of the given kind;
// one image of each kind is weighed against it.
TEST_F(ConfirmTest, WarningsAndDefaultsPerKind)
{
    enum class Kind { BootCode, Pxe, Clp };
    const std::string bootSame =
        "*** WARNING *** - Installed Boot Code is the same version as selected Boot Code.\n";
    const std::string bootOlder =
        "*** WARNING *** - Installed Boot Code is more recent than selected Boot Code.\n";
    const std::string pxeSame = "*** WARNING *** - Installed PXE is the same version as selected PXE.\n";
    const std::string pxeOlder = "*** WARNING *** - Installed PXE is more recent than selected PXE.\n";
    const std::string clpSame = "*** WARNING *** - Installed CLP is the same version as selected CLP.\n";
    const std::string clpOlder = "*** WARNING *** - Installed CLP is more recent than selected CLP.\n";
    struct Case {
        uint32_t Rom; // the installed option ROM's flag
        Kind Selected;
        uint32_t Major, Minor, Build;
        std::string Warning, Description, Default;
    };
    const Case cases[] = {
        {InstPxeVersion, Kind::BootCode, 1, 9, 6, bootSame, "Boot Code 1.9.6 to 1.9.6", "n"},
        {InstPxeVersion, Kind::BootCode, 1, 9, 7, "", "Boot Code 1.9.6 to 1.9.7", "y"},
        {InstPxeVersion, Kind::BootCode, 1, 8, 9, bootOlder, "Boot Code 1.9.6 to 1.8.9", "n"}, // minor first
        {InstPxeVersion, Kind::BootCode, 0, 9, 9, bootOlder, "Boot Code 1.9.6 to 0.9.9", "n"},
        {InstPxeVersion, Kind::BootCode, 2, 0, 1, "", "Boot Code 1.9.6 to 2.0.1", "y"},
        {InstPxeVersion, Kind::Pxe, 8, 3, 5, pxeSame, "PXE 8.3.5 to 8.3.5", "n"},
        {InstPxeVersion, Kind::Pxe, 8, 2, 9, pxeOlder, "PXE 8.3.5 to 8.2.9", "n"},
        {InstPxeVersion, Kind::Pxe, 8, 3, 10, "", "PXE 8.3.5 to 8.3.10", "y"}, // the build is a number
        {InstClpVersion, Kind::Clp, 8, 3, 5, clpSame, "CLP 8.3.5 to 8.3.5", "n"},
        {InstClpVersion, Kind::Clp, 8, 3, 4, clpOlder, "CLP 8.3.5 to 8.3.4", "n"},
        {InstClpVersion, Kind::Clp, 8, 10, 2, "", "CLP 8.3.5 to 8.10.2", "y"},
        {InstIscsiVersion, Kind::Clp, 8, 3, 5, clpSame, "iSCSI 8.3.5 to CLP 8.3.5", "n"},
        {InstIscsiVersion, Kind::Clp, 9, 0, 0, "", "iSCSI 8.3.5 to CLP 9.0.0", "y"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Description);
        Install();
        Boot(1, 9, 6);
        installed->InstalledFlags |= c.Rom;
        installed->PxeMajor = 8, installed->PxeMinor = 3, installed->PxeBuild = 5;
        if (c.Rom != InstPxeVersion) // an iSCSI or CLP image's version is the CLP version
            installed->ClpMajor = 8, installed->ClpMinor = 3, installed->ClpBuild = 5;
        int (*confirm)(const InstalledFirmware&, const ImageSelection&) = ConfirmBootCode;
        switch (c.Selected) {
        case Kind::BootCode:
            selection->SelectionFlags = SelBootCodeVersion;
            selection->BootCodeMajor = c.Major, selection->BootCodeMinor = c.Minor;
            selection->BootCodeBuild = c.Build;
            break;
        case Kind::Pxe:
            selection->SelectionFlags = SelPxeVersion;
            selection->PxeMajor = uint8_t(c.Major), selection->PxeMinor = uint8_t(c.Minor);
            selection->PxeBuild = uint8_t(c.Build);
            confirm = ConfirmPxe;
            break;
        case Kind::Clp:
            selection->SelectionFlags = SelClpVersion;
            selection->ClpMajor = c.Major, selection->ClpMinor = c.Minor, selection->ClpBuild = c.Build;
            confirm = ConfirmClp;
            break;
        }
        FeedStdin("\n");
        int answer = -1;
        EXPECT_EQ(Console([&] { answer = confirm(*installed, *selection); }),
                  c.Warning + "Update " + c.Description + " -  y/n/q (" + c.Default + "):");
        EXPECT_EQ(answer, c.Default == "y" ? AnswerYes : AnswerNo);
        EXPECT_EQ(HasFlag(FlagForceTool), !c.Warning.empty());
    }
}

TEST_F(ConfirmTest, NewerBootCodeIsProposedWithYes)
{
    Boot(1, 9, 6);
    selection->SelectionFlags = SelBootCodeVersion;
    selection->BootCodeMajor = 2;
    selection->BootCodeMinor = 0;
    selection->BootCodeBuild = 1;
    FeedStdin("\n");
    int answer = -1;
    EXPECT_EQ(Console([&] { answer = ConfirmBootCode(*installed, *selection); }),
              "Update Boot Code 1.9.6 to 2.0.1 -  y/n/q (y):");
    EXPECT_EQ(answer, AnswerYes);
    EXPECT_FALSE(HasFlag(FlagForceTool));
}

TEST_F(ConfirmTest, NotNewerIsWarnedForcedAndDefaultsToNo)
{
    Boot(2, 0, 1);
    selection->SelectionFlags = SelBootCodeVersion;
    selection->BootCodeMajor = 2;
    selection->BootCodeMinor = 0;
    selection->BootCodeBuild = 1;
    FeedStdin("\n");
    int answer = -1;
    EXPECT_EQ(Console([&] { answer = ConfirmBootCode(*installed, *selection); }),
              "*** WARNING *** - Installed Boot Code is the same version as selected Boot Code.\n"
              "Update Boot Code 2.0.1 to 2.0.1 -  y/n/q (n):");
    EXPECT_EQ(answer, AnswerNo);
    EXPECT_TRUE(HasFlag(FlagForceTool));

    // The minor decides before the build.
    Boot(2, 1, 0);
    selection->BootCodeBuild = 9;
    FeedStdin("y\n");
    EXPECT_EQ(Console([&] { answer = ConfirmBootCode(*installed, *selection); }),
              "*** WARNING *** - Installed Boot Code is more recent than selected Boot Code.\n"
              "Update Boot Code 2.1.0 to 2.0.9 -  y/n/q (n):");
    EXPECT_EQ(answer, AnswerYes);
}

TEST_F(ConfirmTest, PxeComparesBuildAsNumberAndMissingVersionCountsOlder)
{
    installed->PxeMajor = 8;
    installed->PxeMinor = 3;
    installed->PxeBuild = 5;
    selection->SelectionFlags = SelPxeVersion;
    selection->PxeMajor = 8;
    selection->PxeMinor = 3;
    selection->PxeBuild = 10;
    gRun.OptionFlags = FlagAssumeDefault;
    EXPECT_EQ(Console([&] { EXPECT_EQ(ConfirmPxe(*installed, *selection), AnswerYes); }), "");
    EXPECT_FALSE(HasFlag(FlagForceTool));

    gRun.OptionFlags = 0;
    selection->SelectionFlags = 0;
    FeedStdin("\n");
    int answer = -1;
    EXPECT_EQ(Console([&] { answer = ConfirmPxe(*installed, *selection); }),
              "*** WARNING *** - Installed PXE is more recent than selected PXE.\n"
              "Update  -  y/n/q (n):");
    EXPECT_EQ(answer, AnswerNo);
    EXPECT_TRUE(HasFlag(FlagForceTool));
}

TEST_F(ConfirmTest, SilentRunDeclinesOlderQuietlyButLogsTheWarning)
{
    Boot(3, 0, 0);
    selection->SelectionFlags = SelBootCodeVersion;
    selection->BootCodeMajor = 2;
    gRun.OptionFlags = FlagSilent;
    LogResume();
    int answer = -1;
    EXPECT_EQ(Console([&] { answer = ConfirmBootCode(*installed, *selection); }), "");
    LogClose();
    EXPECT_EQ(answer, AnswerNo);
    EXPECT_TRUE(HasFlag(FlagForceTool));
    EXPECT_EQ(test::ReadText(LogFilePath),
              "*** WARNING *** - Installed Boot Code is more recent than selected Boot Code.\n");

    // With -F the same question is answered yes.
    SetFlag(FlagForce);
    EXPECT_EQ(ConfirmBootCode(*installed, *selection), AnswerYes);
}

TEST_F(ConfirmTest, ClpForInstalledPxeIsAnUpgradeAndForcesTheRest)
{
    installed->InstalledFlags = InstPxeVersion;
    installed->PxeMajor = 9;
    selection->SelectionFlags = SelClpVersion;
    selection->ClpMajor = 1;
    selection->ClpMinor = 0;
    selection->ClpBuild = 2;
    FeedStdin("\n");
    int answer = -1;
    EXPECT_EQ(Console([&] { answer = ConfirmClp(*installed, *selection); }),
              "Update PXE 0.0.0 to CLP 1.0.2 -  y/n/q (y):");
    EXPECT_EQ(answer, AnswerYes);
    EXPECT_TRUE(HasFlag(FlagForce));
    EXPECT_FALSE(HasFlag(FlagForceTool));

    // From now on a silent run takes same-or-older images.
    SetFlag(FlagSilent);
    Boot(2, 0, 0);
    selection->SelectionFlags = SelBootCodeVersion;
    selection->BootCodeMajor = 1;
    EXPECT_EQ(ConfirmBootCode(*installed, *selection), AnswerYes);
}

TEST_F(ConfirmTest, ClpSameVersionAndDescriptionsPerInstalledImage)
{
    installed->InstalledFlags = InstClpVersion;
    installed->ClpMajor = 3;
    installed->ClpMinor = 10;
    installed->ClpBuild = 2;
    selection->SelectionFlags = SelClpVersion;
    selection->ClpMajor = 3;
    selection->ClpMinor = 10;
    selection->ClpBuild = 2;
    FeedStdin("\n");
    EXPECT_EQ(Console([&] { EXPECT_EQ(ConfirmClp(*installed, *selection), AnswerNo); }),
              "*** WARNING *** - Installed CLP is the same version as selected CLP.\n"
              "Update CLP 3.10.2 to 3.10.2 -  y/n/q (n):");
    EXPECT_FALSE(HasFlag(FlagForce));

    char text[DescriptionSize] = "";
    installed->InstalledFlags = InstIscsiVersion;
    DescribeClp(*installed, *selection, text);
    EXPECT_STREQ(text, "iSCSI 3.10.2 to CLP 3.10.2");
    installed->InstalledFlags = InstIscsiVersion | InstPxeVersion;
    DescribeClp(*installed, *selection, text);
    EXPECT_STREQ(text, "PXE 3.10.2 to CLP 3.10.2");

    // No valid selected version: the text is left alone.
    std::strcpy(text, "keep");
    selection->SelectionFlags = SelBootCodeVersion | SelPxeVersion;
    DescribeClp(*installed, *selection, text);
    EXPECT_STREQ(text, "keep");
}

TEST_F(ConfirmTest, LongestVersionsAreCutToThePromptLine)
{
    installed->InstalledFlags = InstClpVersion;
    installed->ClpMajor = installed->ClpMinor = installed->ClpBuild = 2147483647;
    selection->SelectionFlags = SelClpVersion;
    selection->ClpMajor = selection->ClpMinor = selection->ClpBuild = 2147483647;
    char text[DescriptionSize] = "";
    DescribeClp(*installed, *selection, text);
    EXPECT_STREQ(text, "CLP 2147483647.2147483647.2147483647 to 2147483647.2147483647.2147483647");
    FeedStdin("n\n");
    std::string console = Console([&] { ConfirmClp(*installed, *selection); });
    const std::string warning = "*** WARNING *** - Installed CLP is the same version as selected CLP.\n";
    ASSERT_EQ(console.substr(0, warning.size()), warning);
    EXPECT_EQ(console.substr(warning.size()), ("Update " + std::string(text) + " - ").substr(0, 79));
}

} // namespace
