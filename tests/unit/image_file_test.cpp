// Image files: their size limits, the versions read from NVRAM, option ROM
// and ASF images, and their identity (size and SHA-256).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "catalog/image_file.h"
#include "catalog/image_identity.h"
#include "catalog_support.h"

namespace {

namespace fs = std::filesystem;
using namespace catalogtest;

// Image files are written under the private /opt and read into a selection
// record of their own; nothing else of the run state takes part.
class ImageFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(InPrivateMounts()) << "run through tests/sandbox/sandbox.sh";
        LogClose();
        gRun = {};
        fs::create_directories("/opt");
    }
    void TearDown() override
    {
        LogClose();
        gRun = {};
    }

    std::unique_ptr<ImageSelection> selection = std::make_unique<ImageSelection>();
};

TEST_F(ImageFileTest, ReadsWholeFileWithZeroSlackAndHonoursOffsetAndLength)
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

TEST_F(ImageFileTest, FileOfMaximumSizeIsReadAndOneByteMoreIsRefused)
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

TEST_F(ImageFileTest, EmptyAndUnrecognisedFilesAreReadWithoutVersions)
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
TEST_F(ImageFileTest, SpecialFilesAreReadFailuresWithoutWaiting)
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

TEST_F(ImageFileTest, NvramHeaderFieldsAndOldDirectoryTakesAnyOptionRom)
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

TEST_F(ImageFileTest, NewDirectoryReadsIpmiTextAndLaterEntriesOverwrite)
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

TEST_F(ImageFileTest, OffsetsFromTheFileNeverLeaveIt)
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

TEST_F(ImageFileTest, VeryShortNvramFileReadsItsHeaderAsZero)
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

TEST_F(ImageFileTest, OptionRomFileVersionAndItsBounds)
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

TEST_F(ImageFileTest, AsfFileVersionTakesOneCharacterMajor)
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

TEST_F(ImageFileTest, IdentityIsTheSizeAndSha256OfTheWholeFile)
{
    struct Case {
        std::string Content;
        const char* Sha256;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        // Several read blocks, the last one short.
        {[] {
             std::string text;
             for (int i = 0; i < 25000; ++i)
                 text += "tidemark";
             return text;
         }(),
         "e0756cf64874f75299cfbf4e45600e5a48a3c2bb13d425961b8a03069dbc475d"},
    };
    for (const Case& c : cases) {
        test::WriteText("/opt/known.bin", c.Content);
        const ImageIdentity identity = IdentifyImageFile("/opt/known.bin");
        EXPECT_TRUE(identity.Known) << c.Content.size();
        EXPECT_EQ(identity.Size, c.Content.size());
        EXPECT_EQ(Sha256Hex(identity), c.Sha256) << c.Content.size();
    }
}

TEST_F(ImageFileTest, OnlyRegularFilesThatCanBeReadHaveAnIdentity)
{
    WriteFile("/opt/image.bin", {1, 2, 3});
    ASSERT_EQ(mkfifo("/opt/fifo", 0600), 0);
    fs::create_directories("/opt/folder");
    fs::create_symlink("/opt/image.bin", "/opt/link");
    fs::create_symlink("/opt/gone.bin", "/opt/dangling");
    struct Case {
        const char* Path;
        bool Known;
    } cases[] = {
        {"/opt/image.bin", true}, {"/opt/link", true},      {"/opt/fifo", false},
        {"/opt/folder", false},   {"/opt/gone.bin", false}, {"/opt/dangling", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(IdentifyImageFile(c.Path).Known, c.Known) << c.Path;
}

// A file is hashed once while its status stays as it was; every way of
// changing it moves its status. Files must be settled (untouched for two
// seconds) before their identity is kept.
TEST_F(ImageFileTest, AChangedOrReplacedFileIsHashedAgain)
{
    const std::string before(4096, 'a'), after(4096, 'b');
    struct Case {
        const char* Path;
        void (*Change)(const std::string& path, const std::string& content);
    } cases[] = {
        {"/opt/unchanged.bin", [](const std::string&, const std::string&) {}},
        // Rewritten in place, same size, modification time set back.
        {"/opt/rewritten.bin",
         [](const std::string& path, const std::string& content) {
             struct stat info {};
             stat(path.c_str(), &info);
             test::WriteText(path, content);
             const timespec times[2] = {info.st_atim, info.st_mtim};
             utimensat(AT_FDCWD, path.c_str(), times, 0);
         }},
        // Another file renamed over it.
        {"/opt/replaced.bin",
         [](const std::string& path, const std::string& content) {
             test::WriteText(path + ".new", content);
             fs::rename(path + ".new", path);
         }},
        {"/opt/grown.bin", [](const std::string& path,
                              const std::string& content) { test::WriteText(path, content + content); }},
    };
    for (const Case& c : cases)
        test::WriteText(c.Path, before);
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    std::vector<ImageIdentity> kept;
    for (const Case& c : cases)
        kept.push_back(IdentifyImageFile(c.Path));
    for (const Case& c : cases)
        c.Change(c.Path, after);
    for (size_t i = 0; i < std::size(cases); ++i) {
        const std::string path = cases[i].Path;
        const ImageIdentity now = IdentifyImageFile(path.c_str());
        ASSERT_TRUE(kept[i].Known && now.Known) << path;
        test::WriteText("/opt/fresh.bin", test::ReadText(path));
        EXPECT_EQ(now, IdentifyImageFile("/opt/fresh.bin")) << path;
        EXPECT_EQ(now == kept[i], path == "/opt/unchanged.bin") << path;
    }
}

} // namespace
