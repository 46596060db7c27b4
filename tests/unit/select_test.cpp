// The catalog search: entries, version tokens, answers and headings.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "catalog/select.h"
#include "catalog_support.h"
#include "console/prompt.h"

namespace {

namespace fs = std::filesystem;
using namespace catalogtest;

// Catalogs are written under the private /opt.
class SelectTest : public ::testing::Test, protected OneAdapter {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(InPrivateMounts()) << "run through tests/sandbox/sandbox.sh";
        LogClose();
        Install();
        for (const std::string& dir : {BootDir, PxeDir, ClpDir, std::string("/var/opt/orvan")})
            fs::create_directories(dir);
        test::FeedStdin("");
    }
    void TearDown() override
    {
        LogClose();
        gRun = {};
    }

    void FeedStdin(const std::string& answers) { test::FeedStdin(answers); }
};

TEST_F(SelectTest, EntriesAreTokensWhateverTheLineBreaks)
{
    Boot(1, 0, 0);
    test::WriteText(BootDir + "bootcode.info",
                    "0000-0000-0000-0000 other.bin v9.9.9 " + AdapterId + "\n\n  bc.bin\n\tv2.0.1\n");
    gRun.OptionFlags = FlagAssumeDefault;
    EXPECT_EQ(Console(SelectBootCode), Heading);
    EXPECT_EQ(selection->SelectionFlags, SelBootCodeVersion | SelBootCodeAccepted);
    EXPECT_EQ(std::string(selection->BootCodePath), BootDir + "bc.bin");
    EXPECT_EQ(selection->BootCodeMajor, 2u);
    EXPECT_EQ(selection->BootCodeBuild, 1u);
    EXPECT_TRUE(installed->InstalledFlags & InstAnnounced);
}

TEST_F(SelectTest, LongPciIdTokenIsCutAndShiftsLaterEntries)
{
    Boot(1, 0, 0);
    // 21 characters: the last one becomes a token of its own, so the
    // adapter's entry is read from the tokens after "dummy".
    test::WriteText(BootDir + "bootcode.info",
                    "0000-0000-0000-0000XY dummy " + AdapterId + " shifted.bin v2.0.1\n");
    gRun.OptionFlags = FlagAssumeDefault;
    Console(SelectBootCode);
    EXPECT_EQ(std::string(selection->BootCodePath), BootDir + "shifted.bin");
    EXPECT_EQ(selection->SelectionFlags, SelBootCodeVersion | SelBootCodeAccepted);

    // Out of step the other way: the cut-off character becomes the file name,
    // and the adapter's next entry is read out of step and lost.
    *selection = {};
    test::WriteText(BootDir + "bootcode.info",
                    AdapterId + "-X old.bin v1.0.0\n" + AdapterId + " bc.bin v2.0.1\n");
    EXPECT_EQ(Console(SelectBootCode), Heading);
    EXPECT_EQ(selection->SelectionFlags, 0u);

    // A 20-character token is whole, and differs from the 19 of the adapter.
    *selection = {};
    test::WriteText(BootDir + "bootcode.info", AdapterId + "X a.bin v2.0.1\n");
    Console(SelectBootCode);
    EXPECT_EQ(selection->SelectionFlags, 0u);
}

TEST_F(SelectTest, LowerCaseIdsDoNotMatchAndMissingCatalogsAreQuiet)
{
    Boot(1, 0, 0);
    test::WriteText(BootDir + "bootcode.info", "1a2b-3c4d-5e6f-7a8b bc.bin v2.0.1\n");
    gRun.OptionFlags = FlagAssumeDefault;
    EXPECT_EQ(Console(SelectBootCode), Heading);
    EXPECT_EQ(selection->SelectionFlags, 0u);
    EXPECT_EQ(selection->BootCodePath[0], '\0');

    installed->InstalledFlags = InstPxeVersion; // no heading yet, no catalogs
    EXPECT_EQ(Console([] {
                  SelectPXE();
                  SelectCLP();
              }),
              "");
    // A step whose installed image is missing does not even print.
    installed->InstalledFlags = 0;
    EXPECT_EQ(Console(SelectBootCode), "");
}

TEST_F(SelectTest, BootCodeVersionShapes)
{
    struct Case {
        std::string token;
        bool taken;
        uint32_t major, minor, build;
    } cases[] = {
        {"v4.6.4", true, 4, 6, 4},  {"x4.x.4", true, 4, 0, 4},  {"v4.6.10", false, 0, 0, 0},
        {"4.6.4", false, 0, 0, 0},  {"v4-6.4", false, 0, 0, 0}, {std::string(40, 'v'), false, 0, 0, 0},
        {"v4x6x4", false, 0, 0, 0},
    };
    for (const Case& c : cases) {
        *selection = {};
        installed->InstalledFlags = InstBootCodeVersion;
        // A malformed version ends the search: the good entry after it is
        // never reached.
        test::WriteText(BootDir + "bootcode.info",
                        AdapterId + " first.bin " + c.token + "\n" + AdapterId + " second.bin v5.0.0\n");
        gRun.OptionFlags = FlagAssumeDefault;
        Console(SelectBootCode);
        SCOPED_TRACE(c.token);
        EXPECT_EQ(std::string(selection->BootCodePath), BootDir + "first.bin");
        if (c.taken) {
            EXPECT_EQ(selection->SelectionFlags, SelBootCodeVersion | SelBootCodeAccepted);
            EXPECT_EQ(selection->BootCodeMajor, c.major);
            EXPECT_EQ(selection->BootCodeMinor, c.minor);
            EXPECT_EQ(selection->BootCodeBuild, c.build);
        } else {
            EXPECT_EQ(selection->SelectionFlags, 0u);
        }
    }
}

TEST_F(SelectTest, ClpVersionTokens)
{
    struct Case {
        std::string token;
        bool offered;
        uint32_t major, minor, build;
    } cases[] = {
        {"v3.10.2", true, 3, 10, 2},   {"12.1.0", true, 2, 1, 0},
        {"v3..10.2.", true, 3, 10, 2}, {"v9..4...12.", true, 9, 4, 12}, // runs of points separate like one
        {"v8.10.2", true, 8, 10, 2},   {"18.1.0", true, 8, 1, 0},
        {"3.10x.b.7", true, 3, 10, 0}, {"3.99999999999.2", true, 3, 2147483647, 2},
        {"3.10", false, 0, 0, 0},      {"3", false, 0, 0, 0},
        {"v3.1", false, 0, 0, 0},      {"312", false, 0, 0, 0},
        {".3.10.2", false, 0, 0, 0},   {std::string(32, '1') + ".1.1", false, 0, 0, 0},
    };
    installed->InstalledFlags = InstClpVersion;
    for (const Case& c : cases) {
        *selection = {};
        test::WriteText(ClpDir + "clp.info",
                        AdapterId + " a.bin " + c.token + " " + AdapterId + " b.bin v0.0.0\n");
        FeedStdin("n\nn\n");
        std::string console = Console(SelectCLP);
        SCOPED_TRACE(c.token);
        EXPECT_EQ(selection->SelectionFlags, SelClpVersion);
        if (c.offered) {
            EXPECT_NE(console.find("Update CLP 0.0.0 to " + std::to_string(c.major) + "." +
                                   std::to_string(c.minor) + "." + std::to_string(c.build) + " - "),
                      std::string::npos)
                << console;
        } else {
            // Skipped: only the next entry is offered.
            EXPECT_EQ(console, Heading +
                                   "*** WARNING *** - Installed CLP is the same version as selected CLP.\n"
                                   "Update CLP 0.0.0 to 0.0.0 -  y/n/q (n):");
            EXPECT_EQ(std::string(selection->ClpPath), ClpDir + "b.bin");
        }
    }
}

TEST_F(SelectTest, SeveralImagesAreOfferedInOrderAndIncompleteEntriesIgnored)
{
    Boot(1, 0, 0);
    // The last entry has no version token: nothing of it may be used.
    test::WriteText(BootDir + "bootcode.info",
                    AdapterId + " a.bin v2.0.0 " + AdapterId + " b.bin v3.0.0 " + AdapterId + " c.bin");
    FeedStdin("n\n\n");
    std::string console = Console(SelectBootCode);
    EXPECT_EQ(
        console,
        Heading +
            "Update Boot Code 1.0.0 to 2.0.0 -  y/n/q (y):Update Boot Code 1.0.0 to 3.0.0 -  y/n/q (y):");
    EXPECT_EQ(selection->SelectionFlags, SelBootCodeVersion | SelBootCodeAccepted);
    EXPECT_EQ(std::string(selection->BootCodePath), BootDir + "b.bin");
    EXPECT_EQ(selection->BootCodeMajor, 3u);

    // Both declined: the incomplete third entry is not offered with the
    // second's version.
    *selection = {};
    FeedStdin("n\nn\n");
    console = Console(SelectBootCode);
    EXPECT_EQ(console.find("Update", console.rfind("3.0.0")), std::string::npos);
    EXPECT_EQ(selection->SelectionFlags, 0u);
    EXPECT_EQ(std::string(selection->BootCodePath), BootDir + "b.bin");
}

TEST_F(SelectTest, OverlongFileNamesAreSkippedWhole)
{
    Boot(1, 0, 0);
    const std::string fits(PathFieldSize - 1 - BootDir.size(), 'f');
    const std::string tooLongForPath = fits + "g";
    const std::string tooLongToken(PathFieldSize + 10, 'h');
    test::WriteText(BootDir + "bootcode.info", AdapterId + " " + tooLongToken + " v2.0.0\n" + AdapterId +
                                                   " " + tooLongForPath + " v2.0.1\n" + AdapterId + " " +
                                                   fits + " v2.0.2\n");
    gRun.OptionFlags = FlagAssumeDefault;
    Console(SelectBootCode);
    EXPECT_EQ(selection->SelectionFlags, SelBootCodeVersion | SelBootCodeAccepted);
    EXPECT_EQ(selection->BootCodeBuild, 2u);
    EXPECT_EQ(std::string(selection->BootCodePath), BootDir + fits);
    EXPECT_EQ(std::strlen(selection->BootCodePath), PathFieldSize - 1);
}

TEST_F(SelectTest, BootCodeAnswers)
{
    Boot(1, 0, 0);
    test::WriteText(BootDir + "bootcode.info", AdapterId + " bc.bin v2.0.1\n");

    selection->SelectionFlags = SelPxeVersion; // the whole word goes with a no
    FeedStdin("n\n");
    Console(SelectBootCode);
    EXPECT_EQ(selection->SelectionFlags, 0u);
    EXPECT_FALSE(HasFlag(FlagUserQuit));

    selection->SelectionFlags = SelPxeVersion;
    FeedStdin("q\n");
    Console(SelectBootCode);
    EXPECT_EQ(selection->SelectionFlags, 0u);
    EXPECT_TRUE(HasFlag(FlagUserQuit));

    // End of input is a quit too.
    gRun.OptionFlags = 0;
    FeedStdin("");
    EXPECT_EQ(Console(SelectBootCode),
              Heading + "Update Boot Code 1.0.0 to 2.0.1 -  y/n/q (y):Unknown input problem!\nQuit...\n");
    EXPECT_TRUE(HasFlag(FlagUserQuit));
}

TEST_F(SelectTest, PxeAndClpAnswers)
{
    installed->InstalledFlags = InstPxeVersion | InstAnnounced;
    Bytes rom(0x40, 0);
    PxeRegion(rom, 0, true, 0, 9, 0, 0);
    WriteFile(PxeDir + "a.rom", rom);
    PxeRegion(rom, 0, true, 0, 9, 1, 0);
    WriteFile(PxeDir + "b.rom", rom);
    test::WriteText(PxeDir + "pxe.info", AdapterId + " a.rom x " + AdapterId + " b.rom x\n");
    test::WriteText(ClpDir + "clp.info", AdapterId + " c.bin 1.2.3\n");

    // A declined PXE image leaves its version; the next one replaces it.
    selection->SelectionFlags = SelBootCodeAccepted;
    FeedStdin("n\ny\n");
    EXPECT_EQ(Console(SelectPXE),
              "Update PXE 0.0.0 to 9.0.0 -  y/n/q (y):Update PXE 0.0.0 to 9.1.0 -  y/n/q (y):");
    EXPECT_EQ(selection->SelectionFlags, SelBootCodeAccepted | SelPxeVersion | SelPxeAccepted);
    EXPECT_EQ(std::string(selection->PxePath), PxeDir + "b.rom");
    EXPECT_EQ(selection->PxeMinor, 1);

    FeedStdin("n\nn\n");
    *selection = {};
    Console(SelectPXE);
    EXPECT_EQ(selection->SelectionFlags, SelPxeVersion);

    FeedStdin("Quit\n");
    selection->SelectionFlags = SelBootCodeAccepted;
    Console(SelectPXE);
    EXPECT_EQ(selection->SelectionFlags, 0u);
    EXPECT_TRUE(HasFlag(FlagUserQuit));

    // The selection steps do not stop at a quit: CLP still asks.
    FeedStdin("y\n");
    Console(SelectCLP);
    EXPECT_EQ(selection->SelectionFlags, SelClpVersion | SelClpAccepted);
    EXPECT_TRUE(HasFlag(FlagForce));
    FeedStdin("n\n");
    *selection = {};
    Console(SelectCLP);
    EXPECT_EQ(selection->SelectionFlags, SelClpVersion);
    FeedStdin("q\n");
    ClearFlag(FlagUserQuit);
    Console(SelectCLP);
    EXPECT_EQ(selection->SelectionFlags, 0u);
    EXPECT_TRUE(HasFlag(FlagUserQuit));
}

TEST_F(SelectTest, UnreadablePxeImageKeepsAcceptedBootCodeAndGoesOn)
{
    Boot(1, 0, 0);
    installed->InstalledFlags |= InstPxeVersion;
    test::WriteText(BootDir + "bootcode.info", AdapterId + " bc.bin v2.0.1\n");
    Bytes rom(0x40, 0);
    PxeRegion(rom, 0, true, 0, 9, 0, 0);
    WriteFile(PxeDir + "good.rom", rom);
    test::WriteText(PxeDir + "pxe.info", AdapterId + " missing.rom x " + AdapterId + " good.rom x\n");

    FeedStdin("y\ny\n");
    std::string console = Console([] {
        SelectBootCode();
        SelectPXE();
    });
    EXPECT_EQ(console, Heading + "Update Boot Code 1.0.0 to 2.0.1 -  y/n/q (y):" + "Failed to read file (" +
                           PxeDir + "missing.rom) into memory!\nUpdate PXE 0.0.0 to 9.0.0 -  y/n/q (y):");
    EXPECT_EQ(selection->SelectionFlags,
              SelBootCodeVersion | SelBootCodeAccepted | SelPxeVersion | SelPxeAccepted);
    EXPECT_EQ(std::string(selection->BootCodePath), BootDir + "bc.bin");
    EXPECT_EQ(std::string(selection->PxePath), PxeDir + "good.rom");
}

// A PXE entry naming a FIFO, a directory or a device is passed over like a
// missing file: nothing is recorded from it and the next entry is offered.
// Boot code and CLP take their versions from the entry and never open the
// image, so the same names are offered there and left to the flashing tool.
TEST_F(SelectTest, SpecialFilesInTheCatalogArePassedOverForPxeOnly)
{
    Boot(1, 0, 0);
    installed->InstalledFlags |= InstPxeVersion;
    for (const std::string& dir : {BootDir, PxeDir, ClpDir}) {
        ASSERT_EQ(mkfifo((dir + "fifo.bin").c_str(), 0644), 0);
        fs::create_directories(dir + "dir.bin");
        fs::create_symlink("/dev/zero", dir + "zero.bin");
    }
    Bytes rom(0x40, 0);
    PxeRegion(rom, 0, true, 0, 9, 0, 0);
    WriteFile(PxeDir + "good.rom", rom);
    test::WriteText(PxeDir + "pxe.info", AdapterId + " fifo.bin x " + AdapterId + " dir.bin x " + AdapterId +
                                             " zero.bin x " + AdapterId + " good.rom x\n");
    test::WriteText(BootDir + "bootcode.info", AdapterId + " fifo.bin v2.0.1\n");
    test::WriteText(ClpDir + "clp.info", AdapterId + " zero.bin 1.2.3\n");

    alarm(20);
    FeedStdin("y\ny\ny\n");
    const std::string console = Console([] {
        SelectBootCode();
        SelectPXE();
        SelectCLP();
    });
    alarm(0);
    EXPECT_EQ(console,
              Heading + "Update Boot Code 1.0.0 to 2.0.1 -  y/n/q (y):" + "Failed to read file (" + PxeDir +
                  "fifo.bin) into memory!\n" + "Failed to read file (" + PxeDir + "dir.bin) into memory!\n" +
                  "Failed to read file (" + PxeDir + "zero.bin) into memory!\n" +
                  "Update PXE 0.0.0 to 9.0.0 -  y/n/q (y):" + "Update PXE 0.0.0 to CLP 1.2.3 -  y/n/q (y):");
    EXPECT_EQ(std::string(selection->BootCodePath), BootDir + "fifo.bin");
    EXPECT_EQ(std::string(selection->PxePath), PxeDir + "good.rom");
    EXPECT_EQ(std::string(selection->ClpPath), ClpDir + "zero.bin");
    EXPECT_EQ(selection->SelectionFlags & (SelBootCodeAccepted | SelPxeAccepted | SelClpAccepted),
              SelBootCodeAccepted | SelPxeAccepted | SelClpAccepted);
}

TEST_F(SelectTest, NvramImageOfferedAsPxeReplacesBootCodeVersion)
{
    Boot(1, 0, 0);
    installed->InstalledFlags |= InstPxeVersion | InstAnnounced;
    selection->SelectionFlags = SelBootCodeVersion | SelBootCodeAccepted;
    selection->BootCodeMajor = 2;
    selection->BootCodeBuild = 1;
    Bytes b = Nvram(0x200, 3, 4);
    DirEntry(b, 0, TypeLength(0, 0x40), 0x100);
    PxeRegion(b, 0x100, false, 0, 9, 9, 9);
    WriteFile(PxeDir + "nv.bin", b);
    test::WriteText(PxeDir + "pxe.info", AdapterId + " nv.bin x\n");
    gRun.OptionFlags = FlagAssumeDefault;
    Console(SelectPXE);
    EXPECT_EQ(selection->SelectionFlags,
              SelBootCodeVersion | SelBootCodeAccepted | SelPxeVersion | SelPxeAccepted);
    EXPECT_EQ(selection->BootCodeMajor, 3u);
    EXPECT_EQ(selection->BootCodeMinor, 4u);
    EXPECT_EQ(selection->BootCodeBuild, 1u);
}

TEST_F(SelectTest, HeadingIsRepeatedWhileNotAnnounced)
{
    installed->InstalledFlags = InstPxeVersion;
    std::strcpy(installed->MacText, "ABC");
    Bytes rom(0x40, 0);
    PxeRegion(rom, 0, true, 0, 9, 0, 0);
    WriteFile(PxeDir + "a.rom", rom);
    test::WriteText(PxeDir + "pxe.info", AdapterId + " a.rom x\n");
    test::WriteText(ClpDir + "clp.info", AdapterId + " c.bin 1.2.3\n");
    gRun.OptionFlags = FlagAssumeDefault;
    const std::string heading = "\nFound Test Adapter MAC: ABC          \n";
    EXPECT_EQ(Console([] {
                  SelectPXE();
                  SelectCLP();
              }),
              heading + heading);
    EXPECT_FALSE(installed->InstalledFlags & InstAnnounced);
    EXPECT_EQ(selection->SelectionFlags, SelPxeVersion | SelPxeAccepted | SelClpVersion | SelClpAccepted);
}

} // namespace
