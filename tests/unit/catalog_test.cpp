#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "adapters/records.h"
#include "catalog/confirm.h"
#include "catalog/image_file.h"
#include "catalog/select.h"
#include "console/output.h"
#include "console/prompt.h"
#include "fleet.h"
#include "main/run_state.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

using Bytes = std::vector<uint8_t>;

const std::string BootDir = BootCodeCatalogDir;
const std::string PxeDir = PxeCatalogDir;
const std::string ClpDir = ClpCatalogDir;
const std::string AdapterId = "1A2B-3C4D-5E6F-7A8B";
const std::string Heading = "\nFound Test Adapter MAC: 001122AABBCC \n";

// These tests write the catalog under /opt: they must see a private /opt and
// /var/opt, as tests/sandbox/sandbox.sh provides.
bool InPrivateMounts()
{
    const std::string mounts = test::ReadText("/proc/self/mountinfo");
    return mounts.find(" /opt ") != std::string::npos && mounts.find(" /var/opt ") != std::string::npos;
}

using sim::PutBe16;
using sim::PutBe32;

void PutLe16(Bytes& b, size_t at, uint16_t v)
{
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}

void PutText(Bytes& b, size_t at, const std::string& text) { std::memcpy(&b[at], text.data(), text.size()); }

void WriteFile(const std::string& path, const Bytes& bytes)
{
    test::WriteText(path, std::string(bytes.begin(), bytes.end()));
}

Bytes Nvram(size_t size, uint8_t bootMajor, uint8_t bootMinor)
{
    Bytes b(size, 0);
    PutBe32(b, 0, 0x669955AA);
    b[150] = bootMajor;
    b[151] = bootMinor;
    return b;
}

void DirEntry(Bytes& b, int i, uint32_t typeAndLength, uint32_t region)
{
    PutBe32(b, 20 + 12 * i + 4, typeAndLength);
    PutBe32(b, 20 + 12 * i + 8, region);
}

uint32_t TypeLength(uint32_t type, uint32_t length) { return (type << 24) | length; }

// An option ROM at region whose version bytes lie pointer + 28 further on.
void PxeRegion(Bytes& b, size_t region, bool signature, uint16_t pointer, uint8_t major, uint8_t minor,
               uint8_t build)
{
    if (signature) {
        b[region] = 0x55;
        b[region + 1] = 0xAA;
    }
    PutLe16(b, region + 8, pointer);
    b[region + pointer + 28] = build;
    b[region + pointer + 29] = minor;
    b[region + pointer + 30] = major;
}

void IpmiRegion(Bytes& b, size_t region, uint16_t textOffset, const std::string& text)
{
    PutBe16(b, region + 10, textOffset);
    PutText(b, region + textOffset, text);
}

Bytes AsfFile(const std::string& tail)
{
    Bytes b = {0x41, 0x53, 0x46, 0x1A, 0, 0, 0, 0};
    b.resize(20, 'x');
    b.insert(b.end(), tail.begin(), tail.end());
    return b;
}

class CatalogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(InPrivateMounts()) << "run through tests/sandbox/sandbox.sh";
        LogClose();
        gRun = {};
        installed = std::make_unique<InstalledFirmware>();
        selection = std::make_unique<ImageSelection>();
        gRun.Installed = installed.get();
        gRun.Selections = selection.get();
        gRun.AdapterCount = 1;
        std::strcpy(installed->Name, "Test Adapter");
        std::strcpy(installed->MacText, "001122AABBCC");
        installed->VendorId = 0x1A2B;
        installed->DeviceId = 0x3C4D;
        installed->SubsystemVendorId = 0x5E6F;
        installed->SubsystemId = 0x7A8B;
        for (const std::string& dir : {BootDir, PxeDir, ClpDir, std::string("/var/opt/orvan")})
            fs::create_directories(dir);
        FeedStdin("");
    }

    void TearDown() override
    {
        LogClose();
        gRun = {};
    }

    void FeedStdin(const std::string& answers) { test::FeedStdin(answers); }

    void Boot(uint32_t major, uint32_t minor, uint32_t build)
    {
        installed->InstalledFlags |= InstBootCodeVersion;
        installed->BootCodeMajor = major;
        installed->BootCodeMinor = minor;
        installed->BootCodeBuild = build;
    }

    // Runs step with the console captured.
    template <typename F> std::string Console(F step)
    {
        test::ConsoleCapture capture;
        capture.Start();
        step();
        return capture.Stop();
    }

    std::unique_ptr<InstalledFirmware> installed;
    std::unique_ptr<ImageSelection> selection;
};

// ---------------------------------------------------------------- image files

TEST_F(CatalogTest, ReadsWholeFileWithZeroSlackAndHonoursOffsetAndLength)
{
    WriteFile("/opt/f.bin", {'a', 'b', 'c', 'd', 'e', 'f'});
    uint32_t length = 0;
    uint8_t* buffer = nullptr;
    ASSERT_EQ(UtilReadFileMemAlloc("/opt/f.bin", 0, 0, 16, &length, &buffer), 1);
    EXPECT_EQ(length, 6u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 6), "abcdef");
    for (uint32_t i = 6; i < 6 + ImageBufferSlack; ++i)
        ASSERT_EQ(buffer[i], 0) << i;
    std::free(buffer);

    ASSERT_EQ(UtilReadFileMemAlloc("/opt/f.bin", 2, 3, 16, &length, &buffer), 1);
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 4), std::string("cde\0", 4));
    std::free(buffer);

    // Past the end of the file the single read comes up short.
    buffer = reinterpret_cast<uint8_t*>(&length);
    EXPECT_EQ(UtilReadFileMemAlloc("/opt/f.bin", 4, 3, 16, &length, &buffer), 0);
    EXPECT_EQ(buffer, nullptr);
    // The maximum bounds the file, not what is asked for.
    EXPECT_EQ(Console([&] { EXPECT_EQ(UtilReadFileMemAlloc("/opt/f.bin", 0, 0, 5, &length, &buffer), 0); }),
              "File size 6 is too big, max is 5!\r\n");

    std::string console = Console([&] {
        EXPECT_EQ(UtilReadFileMemAlloc("/opt/missing.bin", 0, 0, 16, &length, &buffer), 0);
        EXPECT_EQ(UtilReadFileMemAlloc("/opt", 0, 0, 1u << 20, &length, &buffer), 0);
    });
    EXPECT_EQ(console, "");
    EXPECT_EQ(buffer, nullptr);
}

TEST_F(CatalogTest, FileOfMaximumSizeIsReadAndOneByteMoreIsRefused)
{
    WriteFile("/opt/max.bin", Bytes(ImageFileMaximum, 0x11));
    EXPECT_EQ(ReadImageVersions(*selection, "/opt/max.bin"), 0);
    EXPECT_EQ(selection->SelectionFlags, 0u);

    WriteFile("/opt/big.bin", Bytes(ImageFileMaximum + 1, 0x11));
    selection->SelectionFlags = SelBootCodeAccepted;
    std::string console = Console([&] { EXPECT_EQ(ReadImageVersions(*selection, "/opt/big.bin"), 3); });
    EXPECT_EQ(console, "File size 1048577 is too big, max is 1048576!\r\n"
                       "Failed to read file (/opt/big.bin) into memory!\n");
    EXPECT_EQ(selection->SelectionFlags, SelBootCodeAccepted);
}

TEST_F(CatalogTest, EmptyAndUnrecognisedFilesAreReadWithoutVersions)
{
    WriteFile("/opt/empty.bin", {});
    EXPECT_EQ(ReadImageVersions(*selection, "/opt/empty.bin"), 0);
    WriteFile("/opt/text.bin", {'h', 'e', 'l', 'l', 'o', '.', '1'});
    EXPECT_EQ(ReadImageVersions(*selection, "/opt/text.bin"), 0);
    EXPECT_EQ(selection->SelectionFlags, 0u);
}

// Anything but a regular file is a file that could not be read, and opening
// it must not wait (a FIFO without a writer would block a plain open). The
// alarm turns a hang into a failure.
TEST_F(CatalogTest, SpecialFilesAreReadFailuresWithoutWaiting)
{
    ASSERT_EQ(mkfifo("/opt/fifo.bin", 0644), 0);
    fs::create_directories("/opt/dir.bin");
    fs::create_symlink("/dev/zero", "/opt/zero.bin");
    struct Case {
        const char* path;
    };
    constexpr Case cases[] = {
        {"/opt/fifo.bin"}, {"/opt/dir.bin"}, {"/opt/zero.bin"}, {"/dev/zero"}, {"/dev/null"}};
    alarm(20);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        uint32_t length = 7;
        uint8_t* buffer = reinterpret_cast<uint8_t*>(&length);
        EXPECT_EQ(UtilReadFileMemAlloc(c.path, 0, 0, ImageFileMaximum, &length, &buffer), 0);
        EXPECT_EQ(buffer, nullptr);
        EXPECT_EQ(length, 7u);

        selection->SelectionFlags = SelBootCodeAccepted;
        std::string console = Console([&] { EXPECT_EQ(ReadImageVersions(*selection, c.path), 3); });
        EXPECT_EQ(console, std::string("Failed to read file (") + c.path + ") into memory!\n");
        EXPECT_EQ(selection->SelectionFlags, SelBootCodeAccepted);
    }
    alarm(0);
}

TEST_F(CatalogTest, NvramHeaderFieldsAndOldDirectoryTakesAnyOptionRom)
{
    Bytes b = Nvram(0x400, 2, 5);
    PutText(b, 126, std::string("\x00\x1a\x2b\xc3\xd4\xff", 6));
    PutBe16(b, 160, 0x3C4D);
    PutBe16(b, 162, 0x1A2B);
    PutBe16(b, 164, 0x7A8B);
    PutBe16(b, 166, 0x5E6F);
    DirEntry(b, 0, TypeLength(0, 0), 0x100);    // empty: skipped
    DirEntry(b, 1, TypeLength(0, 0x80), 0x180); // no 55 AA: skipped
    DirEntry(b, 2, TypeLength(7, 0x80), 0x200); // any type will do
    PxeRegion(b, 0x100, true, 0x10, 9, 9, 9);
    PxeRegion(b, 0x180, false, 0x10, 8, 8, 8);
    PxeRegion(b, 0x200, true, 0x20, 1, 2, 3);
    WriteFile("/opt/nv25.bin", b);

    selection->BootCodeBuild = 77;
    ASSERT_EQ(ReadImageVersions(*selection, "/opt/nv25.bin"), 0);
    EXPECT_EQ(selection->SelectionFlags, SelBootCodeVersion | SelPxeVersion);
    EXPECT_EQ(selection->BootCodeMajor, 2u);
    EXPECT_EQ(selection->BootCodeMinor, 5u);
    EXPECT_EQ(selection->BootCodeBuild, 77u);
    EXPECT_EQ(selection->ImageDeviceId, 0x3C4D);
    EXPECT_EQ(selection->ImageVendorId, 0x1A2B);
    EXPECT_EQ(selection->ImageSubsystemId, 0x7A8B);
    EXPECT_EQ(selection->ImageSubsystemVendorId, 0x5E6F);
    EXPECT_STREQ(selection->ImageMacText, "001A2BC3D4FF");
    EXPECT_EQ(selection->PxeMajor, 1);
    EXPECT_EQ(selection->PxeMinor, 2);
    EXPECT_EQ(selection->PxeBuild, 3);

    // The same directory under boot code 2.6 is typed: only type 0 counts,
    // with or without 55 AA.
    b[151] = 6;
    WriteFile("/opt/nv26.bin", b);
    *selection = {};
    ASSERT_EQ(ReadImageVersions(*selection, "/opt/nv26.bin"), 0);
    EXPECT_EQ(selection->SelectionFlags, SelBootCodeVersion | SelPxeVersion);
    EXPECT_EQ(selection->PxeMajor, 8);

    // Bits 22, 23 and 29..31 of the type word are not part of the type.
    DirEntry(b, 1, 0xE0C00000 | TypeLength(7, 0x80), 0x180);
    WriteFile("/opt/nv26b.bin", b);
    *selection = {};
    ASSERT_EQ(ReadImageVersions(*selection, "/opt/nv26b.bin"), 0);
    EXPECT_EQ(selection->SelectionFlags, SelBootCodeVersion);
}

TEST_F(CatalogTest, NewDirectoryReadsIpmiTextAndLaterEntriesOverwrite)
{
    Bytes b = Nvram(0x400, 3, 0);
    DirEntry(b, 0, TypeLength(3, 0x40), 0x100);
    IpmiRegion(b, 0x100, 0x20, "ASFIPMI v1.05 build 7.99");
    DirEntry(b, 1, TypeLength(0, 0x40), 0x180);
    PxeRegion(b, 0x180, false, 0, 4, 5, 6);
    DirEntry(b, 2, TypeLength(0, 0x40), 0x200);
    PxeRegion(b, 0x200, false, 0, 7, 8, 9);
    DirEntry(b, 3, TypeLength(10, 0x40), 0x280); // type above 9
    PxeRegion(b, 0x280, true, 0, 1, 1, 1);
    WriteFile("/opt/ipmi.bin", b);

    ASSERT_EQ(ReadImageVersions(*selection, "/opt/ipmi.bin"), 0);
    EXPECT_EQ(selection->SelectionFlags, SelBootCodeVersion | SelPxeVersion | SelIpmiVersion);
    EXPECT_EQ(selection->IpmiMajor, 1u);
    EXPECT_EQ(selection->IpmiMinor, 5u);
    EXPECT_EQ(selection->PxeMajor, 7);
    EXPECT_EQ(selection->PxeMinor, 8);
    EXPECT_EQ(selection->PxeBuild, 9);

    // A text not starting ASFIPMI, and one without any '.', set nothing.
    Bytes other = Nvram(0x400, 2, 6);
    DirEntry(other, 0, TypeLength(3, 0x40), 0x100);
    IpmiRegion(other, 0x100, 0x20, "ASF-IPMI 1.05");
    DirEntry(other, 1, TypeLength(3, 0x40), 0x180);
    IpmiRegion(other, 0x180, 0x20, "ASFIPMI 1");
    WriteFile("/opt/noipmi.bin", other);
    *selection = {};
    selection->IpmiMajor = 42;
    ASSERT_EQ(ReadImageVersions(*selection, "/opt/noipmi.bin"), 0);
    EXPECT_EQ(selection->SelectionFlags, SelBootCodeVersion);
    EXPECT_EQ(selection->IpmiMajor, 42u);
}

TEST_F(CatalogTest, OffsetsFromTheFileNeverLeaveIt)
{
    // Region offsets near 2^32, and one just inside the file whose pointer
    // words lie in the slack.
    Bytes b = Nvram(0x200, 2, 6);
    DirEntry(b, 0, TypeLength(0, 0x40), 0xFFFFFFF0);
    DirEntry(b, 1, TypeLength(3, 0x40), 0xFFFFFFF0);
    DirEntry(b, 2, TypeLength(3, 0x40), 0x1FF);
    DirEntry(b, 3, TypeLength(0, 0x40), 0x1FF);
    DirEntry(b, 4, TypeLength(0, 0x40), 0x100);
    PutLe16(b, 0x108, 0xFFFF); // version beyond the end
    DirEntry(b, 5, TypeLength(3, 0x40), 0x180);
    PutBe16(b, 0x18A, 0xFFFF); // text beyond the end
    WriteFile("/opt/far.bin", b);
    ASSERT_EQ(ReadImageVersions(*selection, "/opt/far.bin"), 0);
    EXPECT_EQ(selection->SelectionFlags, SelBootCodeVersion);

    b[151] = 5;
    b[0x1F0] = 0x55; // option ROM whose version would be at 0x20C, past the end
    b[0x1F1] = 0xAA;
    DirEntry(b, 6, TypeLength(0, 0x40), 0x1F0);
    WriteFile("/opt/far25.bin", b);
    *selection = {};
    ASSERT_EQ(ReadImageVersions(*selection, "/opt/far25.bin"), 0);
    EXPECT_EQ(selection->SelectionFlags, SelBootCodeVersion);
}

TEST_F(CatalogTest, VeryShortNvramFileReadsItsHeaderAsZero)
{
    WriteFile("/opt/short.bin", {0x66, 0x99, 0x55, 0xAA});
    selection->PxeMajor = 5;
    ASSERT_EQ(ReadImageVersions(*selection, "/opt/short.bin"), 0);
    EXPECT_EQ(selection->SelectionFlags, SelBootCodeVersion);
    EXPECT_EQ(selection->BootCodeMajor, 0u);
    EXPECT_EQ(selection->ImageSubsystemVendorId, 0);
    EXPECT_STREQ(selection->ImageMacText, "000000000000");
    EXPECT_EQ(selection->PxeMajor, 5);
}

TEST_F(CatalogTest, OptionRomFileVersionAndItsBounds)
{
    Bytes rom(0x80, 0);
    PxeRegion(rom, 0, true, 0x30, 8, 3, 10);
    WriteFile("/opt/rom.bin", rom);
    ASSERT_EQ(ReadImageVersions(*selection, "/opt/rom.bin"), 0);
    EXPECT_EQ(selection->SelectionFlags, SelPxeVersion);
    EXPECT_EQ(selection->PxeMajor, 8);
    EXPECT_EQ(selection->PxeMinor, 3);
    EXPECT_EQ(selection->PxeBuild, 10);

    // V = 0x7F + 28 lies beyond the last byte (0x80 bytes): read, no version.
    PutLe16(rom, 8, 0x7F - 28 + 1);
    WriteFile("/opt/rom2.bin", rom);
    *selection = {};
    ASSERT_EQ(ReadImageVersions(*selection, "/opt/rom2.bin"), 0);
    EXPECT_EQ(selection->SelectionFlags, 0u);
    PutLe16(rom, 8, 0x7F - 28);
    rom[0x7F] = 4;
    WriteFile("/opt/rom3.bin", rom);
    ASSERT_EQ(ReadImageVersions(*selection, "/opt/rom3.bin"), 0);
    EXPECT_EQ(selection->SelectionFlags, SelPxeVersion);
    EXPECT_EQ(selection->PxeBuild, 4);
    EXPECT_EQ(selection->PxeMajor, 0); // the slack
}

TEST_F(CatalogTest, AsfFileVersionTakesOneCharacterMajor)
{
    struct Case {
        std::string tail;
        uint32_t flags, major, minor;
    } cases[] = {
        {"ASF v1.05", SelIpmiVersion, 1, 5},
        {"12.05", SelIpmiVersion, 2, 5},
        {"2.345", SelIpmiVersion, 2, 34},
        {"7.", SelIpmiVersion, 7, 99},   // minor not found: left as it was
        {"x.5", SelIpmiVersion, 99, 99}, // nothing parsed, flag set all the same
        {"no dot", 0, 99, 99},
    };
    for (const Case& c : cases) {
        WriteFile("/opt/asf.bin", AsfFile(c.tail));
        *selection = {};
        selection->IpmiMajor = selection->IpmiMinor = 99;
        ASSERT_EQ(ReadImageVersions(*selection, "/opt/asf.bin"), 0) << c.tail;
        EXPECT_EQ(selection->SelectionFlags, c.flags) << c.tail;
        EXPECT_EQ(selection->IpmiMajor, c.major) << c.tail;
        EXPECT_EQ(selection->IpmiMinor, c.minor) << c.tail;
    }

    // Eight bytes of magic: a non-zero byte among 4..7 is not an ASF file.
    Bytes b = AsfFile("1.05");
    b[6] = 1;
    WriteFile("/opt/notasf.bin", b);
    *selection = {};
    ASSERT_EQ(ReadImageVersions(*selection, "/opt/notasf.bin"), 0);
    EXPECT_EQ(selection->SelectionFlags, 0u);
}

// ---------------------------------------------------------------- confirmations

TEST_F(CatalogTest, NewerBootCodeIsProposedWithYes)
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

TEST_F(CatalogTest, NotNewerIsWarnedForcedAndDefaultsToNo)
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

TEST_F(CatalogTest, PxeComparesBuildAsNumberAndMissingVersionCountsOlder)
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

TEST_F(CatalogTest, SilentRunDeclinesOlderQuietlyButLogsTheWarning)
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

TEST_F(CatalogTest, ClpForInstalledPxeIsAnUpgradeAndForcesTheRest)
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

TEST_F(CatalogTest, ClpSameVersionAndDescriptionsPerInstalledImage)
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

TEST_F(CatalogTest, LongestVersionsAreCutToThePromptLine)
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

// ---------------------------------------------------------------- catalog search

TEST_F(CatalogTest, EntriesAreTokensWhateverTheLineBreaks)
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

TEST_F(CatalogTest, LongPciIdTokenIsCutAndShiftsLaterEntries)
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

    // A 20-character token is whole, and differs from the 19 of the adapter.
    *selection = {};
    test::WriteText(BootDir + "bootcode.info", AdapterId + "X a.bin v2.0.1\n");
    Console(SelectBootCode);
    EXPECT_EQ(selection->SelectionFlags, 0u);
}

TEST_F(CatalogTest, LowerCaseIdsDoNotMatchAndMissingCatalogsAreQuiet)
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

TEST_F(CatalogTest, BootCodeVersionShapes)
{
    struct Case {
        std::string token;
        bool taken;
        uint32_t major, minor, build;
    } cases[] = {
        {"v4.6.4", true, 4, 6, 4}, {"x4.x.4", true, 4, 0, 4},  {"v4.6.10", false, 0, 0, 0},
        {"4.6.4", false, 0, 0, 0}, {"v4-6.4", false, 0, 0, 0}, {std::string(40, 'v'), false, 0, 0, 0},
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

TEST_F(CatalogTest, ClpVersionTokens)
{
    struct Case {
        std::string token;
        bool offered;
        uint32_t major, minor, build;
    } cases[] = {
        {"v3.10.2", true, 3, 10, 2},
        {"12.1.0", true, 2, 1, 0},
        {"v3..10.2.", true, 3, 10, 2},
        {"3.10x.b.7", true, 3, 10, 0},
        {"3.99999999999.2", true, 3, 2147483647, 2},
        {"3.10", false, 0, 0, 0},
        {"3", false, 0, 0, 0},
        {".3.10.2", false, 0, 0, 0},
        {std::string(32, '1') + ".1.1", false, 0, 0, 0},
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

TEST_F(CatalogTest, SeveralImagesAreOfferedInOrderAndIncompleteEntriesIgnored)
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

TEST_F(CatalogTest, OverlongFileNamesAreSkippedWhole)
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

TEST_F(CatalogTest, BootCodeAnswers)
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

TEST_F(CatalogTest, PxeAndClpAnswers)
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

TEST_F(CatalogTest, UnreadablePxeImageKeepsAcceptedBootCodeAndGoesOn)
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
TEST_F(CatalogTest, SpecialFilesInTheCatalogArePassedOverForPxeOnly)
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

TEST_F(CatalogTest, NvramImageOfferedAsPxeReplacesBootCodeVersion)
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

TEST_F(CatalogTest, HeadingIsRepeatedWhileNotAnnounced)
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
