#include "catalog/select.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

#include "adapters/records.h"
#include "catalog/catalog_reader.h"
#include "catalog/confirm.h"
#include "catalog/image_file.h"
#include "console/output.h"
#include "console/prompt.h"
#include "main/run_state.h"

namespace {

constexpr size_t PciIdTextSize = 20; // 19 characters and NUL
// Catalog version numbers are capped so that "%d" always shows them as read.
constexpr uint32_t VersionNumberMax = 0x7FFFFFFF;

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using CatalogFile = std::unique_ptr<FILE, FileCloser>;

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

// Records the entry's path and version. Entries that cannot be used are
// passed over; a malformed boot code version ends the boot code search.
Step TakeEntry(const Catalog& catalog, const CatalogEntry& entry, ImageSelection& selection)
{
    const size_t dirLength = std::strlen(catalog.directory);
    const size_t nameLength = std::strlen(entry.FileName);
    if (entry.FileNameTooLong || dirLength + nameLength >= PathFieldSize)
        return Step::NextEntry;
    char* path = ImagePathOf(selection, catalog.kind);
    std::memcpy(path, catalog.directory, dirLength);
    std::memcpy(path + dirLength, entry.FileName, nameLength + 1);

    switch (catalog.kind) {
    case ImageKind::BootCode:
        if (entry.VersionTooLong || !ParseBootCodeVersion(entry.Version, selection))
            return Step::EndSearch;
        return Step::Offer;
    case ImageKind::Pxe:
        // An unreadable file records nothing, so what was accepted before
        // for this adapter stands.
        if (ReadImageVersions(selection, path) != 0)
            return Step::NextEntry;
        return Step::Offer;
    case ImageKind::Clp:
        if (entry.VersionTooLong || !ParseClpVersion(entry.Version, selection))
            return Step::NextEntry;
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
