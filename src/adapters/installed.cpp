#include "adapters/installed.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "console/allocation.h"
#include "console/output.h"
#include "exports/exports.h"
#include "state/bmapi.h"
#include "state/records.h"
#include "state/run_state.h"

namespace {

constexpr int InstalledFailed = 2;
constexpr size_t MinimumVersionText = 5;

// The NVRAM directory: 16 entries of 12 bytes from 0x18, type word first,
// then the image offset word, both big-endian.
constexpr uint32_t DirectoryStart = 0x18;
constexpr uint32_t DirectoryEntrySize = 12;
constexpr uint32_t DirectoryEntries = 16;
constexpr uint32_t OptionRomClass = 1;

// Signature words as BmapiReadFirmware delivers them (NVRAM byte order read
// as a little-endian word), relative to the image start.
constexpr uint32_t LeadWordOffset = 0x20;
constexpr uint32_t PxeSignature = 0x554E4449; // "UNDI" reversed
constexpr uint32_t LastSignatureByte = 0x2B;

enum class RomKind { None, Pxe, Iscsi, Clp };

// iSCSI and CLP images: a lead byte, the word at +0x24, and the top three
// bytes of the word at +0x28 (its low byte is not examined).
struct HeaderSignature {
    RomKind Kind;
    uint32_t LeadByte;
    uint32_t Word24;
    uint32_t Word28;
};
constexpr HeaderSignature HeaderSignatures[] = {
    {RomKind::Iscsi, 0x49, 0x53425420, 0x20202000},
    {RomKind::Clp, 0x43, 0x4C502048, 0x44522000},
};
constexpr uint32_t Word28Mask = 0xFFFFFF00;

// Copies a library text of at most fieldSize bytes into an 80-byte field,
// cut to 79 characters; the library's text need not end within its field.
void CopyText(char (&target)[TextFieldSize], const char* source, size_t fieldSize)
{
    size_t length = strnlen(source, std::min(fieldSize, TextFieldSize - 1));
    std::memcpy(target, source, length);
    target[length] = '\0';
}

uint32_t DigitValue(std::string_view text, size_t index)
{
    if (index >= text.size() || text[index] < '0' || text[index] > '9')
        return 0;
    return static_cast<uint32_t>(text[index] - '0');
}

enum class ReadResult { Ok, Failed };

ReadResult ReadNvramWord(const AdapterInfo& adapter, uint32_t offset, uint32_t& word)
{
    uint32_t buffer = 0;
    if (BmapiReadFirmware(adapter.Nic.Handle, offset, &buffer, 1, AccessKey) != 0)
        return ReadResult::Failed;
    word = buffer;
    return ReadResult::Ok;
}

// Tells the kind of the image at image; Failed when a read failed. The lead
// word is read again for every header signature after the first.
ReadResult IdentifyImage(const AdapterInfo& adapter, uint32_t image, RomKind& kind)
{
    kind = RomKind::None;
    uint32_t lead = 0;
    if (ReadNvramWord(adapter, image + LeadWordOffset, lead) != ReadResult::Ok)
        return ReadResult::Failed;
    if (lead == PxeSignature) {
        kind = RomKind::Pxe;
        return ReadResult::Ok;
    }
    bool first = true;
    for (const HeaderSignature& signature : HeaderSignatures) {
        if (!first && ReadNvramWord(adapter, image + LeadWordOffset, lead) != ReadResult::Ok)
            return ReadResult::Failed;
        first = false;
        if ((lead & 0xFF) != signature.LeadByte)
            continue;
        uint32_t word24 = 0, word28 = 0;
        if (ReadNvramWord(adapter, image + 0x24, word24) != ReadResult::Ok)
            return ReadResult::Failed;
        if (word24 != signature.Word24)
            continue;
        if (ReadNvramWord(adapter, image + 0x28, word28) != ReadResult::Ok)
            return ReadResult::Failed;
        if ((word28 & Word28Mask) == signature.Word28) {
            kind = signature.Kind;
            return ReadResult::Ok;
        }
    }
    return ReadResult::Ok;
}

// Reads directory entry k and tells the kind of the option ROM image it
// points at; Failed when a read failed.
ReadResult MatchDirectoryEntry(const AdapterInfo& adapter, uint32_t k, RomKind& kind)
{
    kind = RomKind::None;
    const uint32_t entry = DirectoryStart + k * DirectoryEntrySize;
    uint32_t typeWord = 0, image = 0;
    if (ReadNvramWord(adapter, entry, typeWord) != ReadResult::Ok)
        return ReadResult::Failed;
    if ((SwapByteU32(typeWord) >> 28) != OptionRomClass)
        return ReadResult::Ok;
    if (ReadNvramWord(adapter, entry + 4, image) != ReadResult::Ok)
        return ReadResult::Failed;
    image = SwapByteU32(image);
    // An image whose signature words lie beyond 32-bit addresses cannot
    // be one: wrapping round would read the start of the NVRAM instead.
    if (image > UINT32_MAX - LastSignatureByte)
        return ReadResult::Ok;
    return IdentifyImage(adapter, image, kind);
}

// The installed CLP fields hold the version of an installed CLP or iSCSI
// image, which the firmware information reports as the option ROM version.
void RecordOptionRom(InstalledFirmware& installed, RomKind kind)
{
    if (kind == RomKind::Pxe) {
        installed.InstalledFlags |= InstPxeVersion;
        return;
    }
    installed.InstalledFlags |= kind == RomKind::Iscsi ? InstIscsiVersion : InstClpVersion;
    installed.ClpMajor = installed.PxeMajor;
    installed.ClpMinor = installed.PxeMinor;
    installed.ClpBuild = installed.PxeBuild;
}

void CopyIdentity(const PhyNic& nic, InstalledFirmware& installed)
{
    std::memcpy(installed.MacText, nic.MacText, MacTextSize);
    installed.MacText[MacTextSize - 1] = '\0'; // 12 digits at most, always ended
    installed.VendorId = static_cast<uint16_t>(nic.VendorId);
    installed.DeviceId = static_cast<uint16_t>(nic.DeviceId);
    installed.SubsystemVendorId = static_cast<uint16_t>(nic.SubsystemVendorId);
    installed.SubsystemId = static_cast<uint16_t>(nic.SubsystemId);
    CopyText(installed.Name, nic.Name, sizeof(nic.Name));
    CopyText(installed.Description, nic.Description, sizeof(nic.Description));
}

} // namespace

bool ParseVersionText(const char* text, size_t fieldSize, FirmwareVersion& version)
{
    std::string_view view(text, strnlen(text, fieldSize));
    size_t point = view.find('.');
    if (point == std::string_view::npos)
        return false;
    version.Major = point == 0 ? 0 : DigitValue(view, point - 1);
    version.Minor = DigitValue(view, point + 1);
    version.Build = DigitValue(view, point + 3);
    return true;
}

namespace {

// A firmware information text of 4 characters or fewer carries no version.
bool VersionOfText(const char (&text)[FwInfoTextSize], FirmwareVersion& version)
{
    return strnlen(text, FwInfoTextSize) >= MinimumVersionText &&
           ParseVersionText(text, FwInfoTextSize, version);
}

} // namespace

void ExtractInterfaceName()
{
    InstalledFirmware& installed = CurrentInstalled();
    char* description = installed.Description;
    size_t length = strnlen(description, TextFieldSize - 1);
    description[length] = '\0';
    // Split in place at every space; the last parenthesised token wins.
    for (size_t start = 0; start <= length;) {
        size_t end = start;
        while (end < length && description[end] != ' ')
            ++end;
        description[end] = '\0';
        std::string_view token(description + start, end - start);
        if (token.find('(') != std::string_view::npos) {
            // Drop the last character, then the first; "(" and "()" leave nothing.
            std::string_view name =
                token.size() >= 2 ? token.substr(1, token.size() - 2) : token.substr(0, 0);
            name.copy(installed.InterfaceName, name.size());
            installed.InterfaceName[name.size()] = '\0';
        }
        start = end + 1;
    }
}

void ScanOptionRomImages()
{
    AdapterInfo& adapter = CurrentAdapterInfo();
    for (uint32_t k = 0; k < DirectoryEntries; ++k) {
        if (adapter.DiagOpen == 0) {
            if (BmapiInitDiag(adapter.Nic.Handle) != 0)
                return;
            adapter.DiagOpen = 1;
        }
        RomKind kind = RomKind::None;
        if (MatchDirectoryEntry(adapter, k, kind) != ReadResult::Ok) {
            Output("Failed to read NVRAM!\r\n");
            break;
        }
        if (kind != RomKind::None) {
            RecordOptionRom(CurrentInstalled(), kind);
            break;
        }
    }
    if (adapter.DiagOpen == 1 && BmapiUnInitDiag(adapter.Nic.Handle) == 0)
        adapter.DiagOpen = 0;
}

int ReadInstalledFirmware()
{
    uint32_t count = gRun.AdapterCount;
    auto installedArray = AllocateOwnedArray<InstalledFirmware>(count);
    auto fwInfos = AllocateOwnedArray<FwInfo>(count);
    if (!installedArray || !fwInfos)
        return InstalledFailed;
    // The array belongs to RunState from here on and lives until exit.
    gRun.Installed = installedArray.release();

    for (uint32_t i = 0; i < count; ++i) {
        gRun.CurrentAdapter = i;
        const PhyNic& nic = gRun.Adapters[i].Nic;
        InstalledFirmware& installed = gRun.Installed[i];
        FwInfo& fwInfo = fwInfos[i];
        fwInfo.RecordVersion = FwInfoRecordVersion;
        if (BmapiGet5706FwInfo(nic.Handle, &fwInfo) != 0) {
            installed.InstalledFlags = 0;
            continue;
        }
        CopyIdentity(nic, installed);
        ExtractInterfaceName();

        FirmwareVersion version{};
        if (VersionOfText(fwInfo.BootCodeVersionText, version)) {
            installed.BootCodeMajor = version.Major;
            installed.BootCodeMinor = version.Minor;
            installed.BootCodeBuild = version.Build;
            installed.InstalledFlags |= InstBootCodeVersion;
        }
        if (VersionOfText(fwInfo.OptionRomVersionText, version)) {
            installed.PxeMajor = static_cast<uint8_t>(version.Major);
            installed.PxeMinor = static_cast<uint8_t>(version.Minor);
            installed.PxeBuild = static_cast<uint8_t>(version.Build);
            ScanOptionRomImages();
        }
    }
    return 0;
}
