#include "catalog/select.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

#include "adapters/records.h"
#include "catalog/confirm.h"
#include "catalog/image_file.h"
#include "console/output.h"
#include "console/prompt.h"
#include "main/run_state.h"

PassedOverHook gSelectionPassedOver = nullptr;

namespace {

// Token limits of a catalog entry, terminating zero not counted.
constexpr size_t PciIdTokenMax = 20;
constexpr size_t FileNameTokenMax = PathFieldSize - 1;
constexpr size_t VersionTokenMax = 31;
constexpr size_t PciIdTextSize = 20; // 19 characters and NUL
// Catalog version numbers are capped so that "%d" always shows them as read.
constexpr uint32_t VersionNumberMax = 0x7FFFFFFF;

struct CatalogEntry {
    char PciId[PciIdTokenMax + 1];
    char FileName[FileNameTokenMax + 1];
    char Version[VersionTokenMax + 1];
    bool FileNameTooLong;
    bool VersionTooLong;
};

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using CatalogFile = std::unique_ptr<FILE, FileCloser>;

// White space as the C locale's isspace sees it.
constexpr bool IsBlank(int c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

enum class TokenResult { Read, Cut, End };

// Reads the next run of non-blank characters, at most max of them. With
// keepRest the rest of a longer run stays in the stream as the next token;
// otherwise it is consumed and the result is Cut.
TokenResult ReadToken(FILE* file, char* out, size_t max, bool keepRest)
{
    int c = std::getc(file);
    while (c != EOF && IsBlank(c))
        c = std::getc(file);
    if (c == EOF)
        return TokenResult::End;

    size_t n = 0;
    while (c != EOF && !IsBlank(c)) {
        if (n == max) {
            if (keepRest) {
                std::ungetc(c, file);
                break;
            }
            while (c != EOF && !IsBlank(c))
                c = std::getc(file);
            out[n] = '\0';
            return TokenResult::Cut;
        }
        out[n++] = static_cast<char>(c);
        c = std::getc(file);
    }
    out[n] = '\0';
    return TokenResult::Read;
}

// False at the end of the catalog, also when the last entry is incomplete:
// a partial entry is never used.
bool ReadEntry(FILE* file, CatalogEntry& entry)
{
    if (ReadToken(file, entry.PciId, PciIdTokenMax, true) == TokenResult::End)
        return false;
    const TokenResult name = ReadToken(file, entry.FileName, FileNameTokenMax, false);
    if (name == TokenResult::End)
        return false;
    const TokenResult version = ReadToken(file, entry.Version, VersionTokenMax, false);
    if (version == TokenResult::End)
        return false;
    entry.FileNameTooLong = name == TokenResult::Cut;
    entry.VersionTooLong = version == TokenResult::Cut;
    return true;
}

uint32_t DigitValue(char c) { return c >= '0' && c <= '9' ? static_cast<uint32_t>(c - '0') : 0; }

// "vM.m.b": six characters with the first '.' at index 2.
bool ParseBootCodeVersion(std::string_view token, ImageSelection& selection)
{
    if (token.size() != 6 || token.find('.') != 2)
        return false;
    selection.BootCodeMajor = DigitValue(token[1]);
    selection.BootCodeMinor = DigitValue(token[3]);
    selection.BootCodeBuild = DigitValue(token[5]);
    selection.SelectionFlags |= SelBootCodeVersion;
    return true;
}

uint32_t LeadingNumber(std::string_view part)
{
    uint32_t value = 0;
    for (char c : part) {
        if (c < '0' || c > '9')
            break;
        const uint32_t digit = DigitValue(c);
        value = value > (VersionNumberMax - digit) / 10 ? VersionNumberMax : value * 10 + digit;
    }
    return value;
}

// The major is the one character before the first '.'; minor and build are
// the second and third '.'-separated parts. A token that does not give all
// three is no version, and its entry is not offered.
bool ParseClpVersion(std::string_view token, ImageSelection& selection)
{
    const size_t firstDot = token.find('.');
    if (firstDot == std::string_view::npos || firstDot == 0)
        return false;

    std::string_view parts[3];
    size_t count = 0;
    size_t pos = 0;
    while (count < 3) {
        pos = token.find_first_not_of('.', pos);
        if (pos == std::string_view::npos)
            break;
        const size_t end = token.find('.', pos);
        parts[count++] = token.substr(pos, end == std::string_view::npos ? end : end - pos);
        pos = end;
    }
    if (count < 3)
        return false;

    selection.ClpMajor = DigitValue(token[firstDot - 1]);
    selection.ClpMinor = LeadingNumber(parts[1]);
    selection.ClpBuild = LeadingNumber(parts[2]);
    selection.SelectionFlags |= SelClpVersion;
    return true;
}

void PrintHeading(const InstalledFirmware& installed)
{
    // The MAC column's format is part of the console text; its '0' flag is
    // ignored beside '-', which the compiler points out.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
    Output("\nFound %s MAC: %-012s \n", installed.Name, installed.MacText);
#pragma GCC diagnostic pop
}

struct Catalog {
    ImageKind kind;
    uint32_t requiredFlags; // any of them
    const char* directory;
    const char* file;
};

constexpr Catalog BootCodeCatalog = {ImageKind::BootCode, InstBootCodeVersion, BootCodeCatalogDir,
                                     BootCodeCatalogFile};
constexpr Catalog PxeCatalog = {ImageKind::Pxe, InstPxeVersion, PxeCatalogDir, PxeCatalogFile};
constexpr Catalog ClpCatalog = {ImageKind::Clp, InstClpVersion | InstIscsiVersion | InstPxeVersion,
                                ClpCatalogDir, ClpCatalogFile};

uint32_t AcceptedBit(ImageKind kind)
{
    switch (kind) {
    case ImageKind::BootCode: return SelBootCodeAccepted;
    case ImageKind::Pxe: return SelPxeAccepted;
    case ImageKind::Clp: return SelClpAccepted;
    }
    return 0;
}

int Confirm(ImageKind kind, const InstalledFirmware& installed, const ImageSelection& selection)
{
    switch (kind) {
    case ImageKind::BootCode: return ConfirmBootCode(installed, selection);
    case ImageKind::Pxe: return ConfirmPxe(installed, selection);
    case ImageKind::Clp: return ConfirmClp(installed, selection);
    }
    return AnswerNo;
}

enum class Step { Offer, NextEntry, EndSearch };

Step PassOver(ImageKind kind, PassedOver why, const char* detail, Step step)
{
    if (gSelectionPassedOver != nullptr)
        gSelectionPassedOver(kind, why, detail);
    return step;
}

// Records the entry's path and version. Entries that cannot be used are
// passed over; a malformed boot code version ends the boot code search.
Step TakeEntry(const Catalog& catalog, const CatalogEntry& entry, ImageSelection& selection)
{
    const size_t dirLength = std::strlen(catalog.directory);
    const size_t nameLength = std::strlen(entry.FileName);
    if (entry.FileNameTooLong || dirLength + nameLength >= PathFieldSize)
        return PassOver(catalog.kind, PassedOver::PathTooLong, entry.FileName, Step::NextEntry);
    char* path = ImagePathOf(selection, catalog.kind);
    std::memcpy(path, catalog.directory, dirLength);
    std::memcpy(path + dirLength, entry.FileName, nameLength + 1);

    switch (catalog.kind) {
    case ImageKind::BootCode:
        if (entry.VersionTooLong || !ParseBootCodeVersion(entry.Version, selection))
            return PassOver(catalog.kind, PassedOver::VersionUnusable, entry.Version, Step::EndSearch);
        return Step::Offer;
    case ImageKind::Pxe:
        // An unreadable file records nothing, so what was accepted before
        // for this adapter stands.
        if (ReadImageVersions(selection, path) != 0)
            return PassOver(catalog.kind, PassedOver::ImageUnreadable, path, Step::NextEntry);
        return Step::Offer;
    case ImageKind::Clp:
        if (entry.VersionTooLong || !ParseClpVersion(entry.Version, selection))
            return PassOver(catalog.kind, PassedOver::VersionUnusable, entry.Version, Step::NextEntry);
        return Step::Offer;
    }
    return Step::NextEntry;
}

void Search(const Catalog& catalog)
{
    InstalledFirmware& installed = CurrentInstalled();
    ImageSelection& selection = CurrentSelection();

    if ((installed.InstalledFlags & catalog.requiredFlags) == 0)
        return;
    if (catalog.kind == ImageKind::BootCode) {
        installed.InstalledFlags |= InstAnnounced;
        PrintHeading(installed);
    }

    char pciIdText[PciIdTextSize];
    std::snprintf(pciIdText, sizeof pciIdText, "%04X-%04X-%04X-%04X", installed.VendorId, installed.DeviceId,
                  installed.SubsystemVendorId, installed.SubsystemId);

    const CatalogFile file(std::fopen(catalog.file, "r"));
    if (!file)
        return;

    // One entry is up to 4 KiB of file name: keep it off the stack.
    const auto entry = std::make_unique<CatalogEntry>();
    while (ReadEntry(file.get(), *entry)) {
        if (std::strcmp(entry->PciId, pciIdText) != 0)
            continue;

        const Step step = TakeEntry(catalog, *entry, selection);
        if (step == Step::EndSearch)
            return;
        if (step == Step::NextEntry)
            continue;

        if ((installed.InstalledFlags & InstAnnounced) == 0)
            PrintHeading(installed);

        switch (Confirm(catalog.kind, installed, selection)) {
        case AnswerYes: selection.SelectionFlags |= AcceptedBit(catalog.kind); return;
        case AnswerQuit:
            SetFlag(FlagUserQuit);
            selection.SelectionFlags = 0;
            return;
        default:
            // A declined boot code image takes its version bits with it.
            if (catalog.kind == ImageKind::BootCode)
                selection.SelectionFlags = 0;
            break;
        }
    }
}

} // namespace

int SelectBootCode()
{
    Search(BootCodeCatalog);
    return 0;
}

int SelectPXE()
{
    Search(PxeCatalog);
    return 0;
}

int SelectCLP()
{
    Search(ClpCatalog);
    return 0;
}
