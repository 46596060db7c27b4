#include "catalog/image_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "console/allocation.h"
#include "console/output.h"
#include "exports/exports.h"
#include "state/records.h"

namespace {

constexpr uint32_t NvramMagic = 0x669955AA;
constexpr std::array<uint8_t, 8> AsfMagic = {0x41, 0x53, 0x46, 0x1A, 0x00, 0x00, 0x00, 0x00};
constexpr uint8_t OptionRomSignature0 = 0x55;
constexpr uint8_t OptionRomSignature1 = 0xAA;

// NVRAM image header
constexpr uint64_t DirectoryOffset = 20;
constexpr uint32_t DirectoryEntries = 8;
constexpr uint64_t DirectoryEntrySize = 12;
constexpr uint32_t RegionLengthMask = 0x3FFFFF; // bits 0..21
constexpr uint32_t RegionTypeShift = 24;
constexpr uint32_t RegionTypeMask = 0x1F; // bits 24..28
constexpr uint32_t RegionTypeMax = 9;
constexpr uint32_t RegionTypePxe = 0;
constexpr uint32_t RegionTypeIpmi = 3;
constexpr uint64_t MacOffset = 126;
constexpr uint64_t BootCodeMajorOffset = 150;
constexpr uint64_t BootCodeMinorOffset = 151;
constexpr uint64_t DeviceIdOffset = 160;
constexpr uint64_t VendorIdOffset = 162;
constexpr uint64_t SubsystemIdOffset = 164;
constexpr uint64_t SubsystemVendorIdOffset = 166;
// Boot code from this version on uses the typed directory.
constexpr uint32_t TypedDirectoryMajor = 2;
constexpr uint32_t TypedDirectoryMinor = 6;

// Option ROM: the 16-bit little-endian word at +8, plus the region start and
// this bias, locates the version bytes (build, minor, major).
constexpr uint64_t PxeVersionPointerOffset = 8;
constexpr uint64_t PxeVersionBias = 28;
// IPMI region: the big-endian 16-bit word at +10 locates the version text.
constexpr uint64_t IpmiTextPointerOffset = 10;
constexpr std::string_view IpmiTextTag = "ASFIPMI";
constexpr uint64_t AsfVersionSearchStart = 20;

using FileBuffer = OwnedArray<uint8_t>;

struct FdCloser {
    int Fd;
    ~FdCloser()
    {
        if (Fd >= 0)
            close(Fd);
    }
};

// A file as read: data bytes, then zero slack. Every read goes through Byte,
// so offsets taken from the file itself can never leave the buffer.
struct Image {
    const uint8_t* Data;
    uint64_t FileSize;   // bytes of data
    uint64_t BufferSize; // data and slack

    uint8_t Byte(uint64_t offset) const { return offset < BufferSize ? Data[offset] : 0; }

    uint16_t Be16(uint64_t offset) const
    {
        uint16_t raw = 0;
        const std::array<uint8_t, 2> bytes = {Byte(offset), Byte(offset + 1)};
        std::memcpy(&raw, bytes.data(), sizeof raw);
        return std::endian::native == std::endian::little ? SwapByteU16(raw) : raw;
    }

    uint32_t Be32(uint64_t offset) const
    {
        uint32_t raw = 0;
        const std::array<uint8_t, 4> bytes = {Byte(offset), Byte(offset + 1), Byte(offset + 2),
                                              Byte(offset + 3)};
        std::memcpy(&raw, bytes.data(), sizeof raw);
        return std::endian::native == std::endian::little ? SwapByteU32(raw) : raw;
    }

    uint16_t Le16(uint64_t offset) const
    {
        return static_cast<uint16_t>(Byte(offset) | (Byte(offset + 1) << 8));
    }

    bool StartsWith(uint64_t offset, std::string_view text) const
    {
        for (size_t i = 0; i < text.size(); ++i)
            if (Byte(offset + i) != static_cast<uint8_t>(text[i]))
                return false;
        return true;
    }
};

// The PXE version of an option ROM that starts at region. False when the
// version would lie outside the file.
bool TakePxeVersion(const Image& image, uint64_t region, ImageSelection& selection)
{
    const uint64_t v = image.Le16(region + PxeVersionPointerOffset) + region + PxeVersionBias;
    if (v >= image.FileSize)
        return false;
    selection.PxeMajor = image.Byte(v + 2);
    selection.PxeMinor = image.Byte(v + 1);
    selection.PxeBuild = image.Byte(v);
    selection.SelectionFlags |= SelPxeVersion;
    return true;
}

// A version text "<major>.<minor>": the major is the one character before
// the first '.' at or after start. Returns false when no '.' comes before
// the text ends; otherwise the numbers that were found are stored.
bool ParseDottedVersion(const Image& image, uint64_t start, int& major, int& minor)
{
    uint64_t dot = start;
    while (dot < image.BufferSize && image.Data[dot] != 0 && image.Data[dot] != '.')
        ++dot;
    if (dot >= image.BufferSize || image.Data[dot] != '.')
        return false;
    // The '.' lies before a zero byte of the buffer (the slack holds zeros),
    // so the scan below stops inside the buffer.
    const uint64_t from = dot > 0 ? dot - 1 : dot;
    std::sscanf(reinterpret_cast<const char*>(image.Data + from), "%d.%02d", &major, &minor);
    return true;
}

void ReadIpmiRegion(const Image& image, uint64_t region, ImageSelection& selection)
{
    const uint64_t t = image.Be16(region + IpmiTextPointerOffset) + region;
    if (t >= image.FileSize)
        return;
    int major = static_cast<int>(selection.IpmiMajor);
    int minor = static_cast<int>(selection.IpmiMinor);
    if (!ParseDottedVersion(image, t, major, minor))
        return;
    if (!image.StartsWith(t, IpmiTextTag))
        return;
    selection.IpmiMajor = static_cast<uint32_t>(major);
    selection.IpmiMinor = static_cast<uint32_t>(minor);
    selection.SelectionFlags |= SelIpmiVersion;
}

void ReadNvramImage(const Image& image, ImageSelection& selection)
{
    selection.BootCodeMajor = image.Byte(BootCodeMajorOffset);
    selection.BootCodeMinor = image.Byte(BootCodeMinorOffset);
    selection.SelectionFlags |= SelBootCodeVersion;

    selection.ImageVendorId = image.Be16(VendorIdOffset);
    selection.ImageDeviceId = image.Be16(DeviceIdOffset);
    selection.ImageSubsystemVendorId = image.Be16(SubsystemVendorIdOffset);
    selection.ImageSubsystemId = image.Be16(SubsystemIdOffset);

    std::snprintf(selection.ImageMacText, sizeof selection.ImageMacText, "%02X%02X%02X%02X%02X%02X",
                  image.Byte(MacOffset), image.Byte(MacOffset + 1), image.Byte(MacOffset + 2),
                  image.Byte(MacOffset + 3), image.Byte(MacOffset + 4), image.Byte(MacOffset + 5));

    const bool typedDirectory =
        selection.BootCodeMajor > TypedDirectoryMajor ||
        (selection.BootCodeMajor == TypedDirectoryMajor && selection.BootCodeMinor >= TypedDirectoryMinor);

    for (uint32_t i = 0; i < DirectoryEntries; ++i) {
        const uint64_t entry = DirectoryOffset + DirectoryEntrySize * i;
        const uint32_t typeAndLength = image.Be32(entry + 4);
        const uint64_t region = image.Be32(entry + 8);
        if ((typeAndLength & RegionLengthMask) == 0 || region >= image.FileSize)
            continue;

        if (!typedDirectory) {
            // Older boot code lists untyped regions: any option ROM counts.
            if (image.Byte(region) != OptionRomSignature0 || image.Byte(region + 1) != OptionRomSignature1)
                continue;
            TakePxeVersion(image, region, selection);
            continue;
        }

        const uint32_t type = (typeAndLength >> RegionTypeShift) & RegionTypeMask;
        if (type > RegionTypeMax)
            continue;
        if (type == RegionTypePxe)
            TakePxeVersion(image, region, selection);
        else if (type == RegionTypeIpmi)
            ReadIpmiRegion(image, region, selection);
    }
}

void ReadAsfFile(const Image& image, ImageSelection& selection)
{
    int major = static_cast<int>(selection.IpmiMajor);
    int minor = static_cast<int>(selection.IpmiMinor);
    if (!ParseDottedVersion(image, AsfVersionSearchStart, major, minor))
        return;
    selection.IpmiMajor = static_cast<uint32_t>(major);
    selection.IpmiMinor = static_cast<uint32_t>(minor);
    selection.SelectionFlags |= SelIpmiVersion;
}

} // namespace

int UtilReadFileMemAlloc(const char* path, uint32_t offset, uint32_t length, uint32_t maximum,
                         uint32_t* outLength, uint8_t** outBuffer)
{
    *outBuffer = nullptr;

    // Without O_NONBLOCK, opening a FIFO would wait for a writer forever.
    FdCloser file{open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
    if (file.Fd < 0)
        return 0;

    // Only a regular file has a size that says what a read will deliver: a
    // FIFO, a device or a directory counts as a file that could not be read.
    struct stat info {};
    if (fstat(file.Fd, &info) != 0 || !S_ISREG(info.st_mode))
        return 0;
    const auto size = static_cast<unsigned long>(info.st_size);
    if (size > maximum) {
        Output("File size %lu is too big, max is %lu!\r\n", size, static_cast<unsigned long>(maximum));
        return 0;
    }
    if (length == 0)
        length = static_cast<uint32_t>(size); // size <= maximum, a 32-bit value

    FileBuffer buffer(static_cast<uint8_t*>(std::calloc(size_t{length} + ImageBufferSlack, 1)));
    if (!buffer) {
        ReportNoMemory(length);
        return 0;
    }

    if (lseek(file.Fd, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(-1))
        return 0;
    // One read: a short one means the file did not hold offset + length bytes.
    const ssize_t got = read(file.Fd, buffer.get(), length);
    if (got < 0 || static_cast<size_t>(got) < length)
        return 0;

    *outLength = length;
    *outBuffer = buffer.release();
    return 1;
}

int ReadImageVersions(ImageSelection& selection, const char* path)
{
    uint32_t length = 0;
    uint8_t* raw = nullptr;
    if (UtilReadFileMemAlloc(path, 0, 0, ImageFileMaximum, &length, &raw) == 0) {
        Output("Failed to read file (%s) into memory!\n", path);
        return 3;
    }
    const FileBuffer buffer(raw);
    const Image image{buffer.get(), length, uint64_t{length} + ImageBufferSlack};

    if (image.Be32(0) == NvramMagic) {
        ReadNvramImage(image, selection);
    } else if (image.Byte(0) == OptionRomSignature0 && image.Byte(1) == OptionRomSignature1) {
        TakePxeVersion(image, 0, selection);
    } else {
        bool asf = true;
        for (size_t i = 0; i < AsfMagic.size(); ++i)
            asf = asf && image.Byte(i) == AsfMagic[i];
        if (asf)
            ReadAsfFile(image, selection);
    }
    return 0;
}
