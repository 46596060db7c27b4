#include "catalog/select.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "catalog/catalog_reader.h"
#include "catalog/entry_version.h"
#include "catalog/image_identity.h"
#include "catalog/image_kinds.h"
#include "console/output.h"
#include "console/prompt.h"
#include "state/records.h"
#include "state/run_state.h"

PassedOverHook gSelectionPassedOver = nullptr;

namespace {

constexpr size_t PciIdTextSize = 20; // 19 characters and NUL

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using CatalogFile = std::unique_ptr<FILE, FileCloser>;

void PrintHeading(const InstalledFirmware& installed)
{
    // The MAC column's format is part of the console text; its '0' flag is
    // ignored beside '-', which the compiler points out.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
    Output("\nFound %s MAC: %-012s \n", installed.Name, installed.MacText);
#pragma GCC diagnostic pop
}

enum class Step { Offer, NextEntry, EndSearch };

Step PassOver(ImageKind kind, PassedOver why, const char* detail, Step step)
{
    if (gSelectionPassedOver != nullptr)
        gSelectionPassedOver(kind, why, detail);
    return step;
}

// Records the entry's path and version. Entries that cannot be used are
// passed over; a malformed version ends the search where the kind says so.
Step TakeEntry(const ImageKindDescriptor& kind, const CatalogEntry& entry, ImageSelection& selection)
{
    const size_t dirLength = std::strlen(kind.CatalogDir);
    const size_t nameLength = std::strlen(entry.FileName);
    if (entry.FileNameTooLong || dirLength + nameLength >= PathFieldSize)
        return PassOver(kind.Kind, PassedOver::PathTooLong, entry.FileName, Step::NextEntry);
    char* path = selection.*kind.PathField;
    std::memcpy(path, kind.CatalogDir, dirLength);
    std::memcpy(path + dirLength, entry.FileName, nameLength + 1);

    if (kind.ReadVersion(entry, path, selection))
        return Step::Offer;
    const Step step = kind.MalformedVersionEndsSearch ? Step::EndSearch : Step::NextEntry;
    // A version read from the image file fails only when the file cannot be read.
    if (kind.ReadVersion == VersionsFromImageFile)
        return PassOver(kind.Kind, PassedOver::ImageUnreadable, path, step);
    return PassOver(kind.Kind, PassedOver::VersionUnusable, entry.Version, step);
}

// True when the search ends with this answer.
bool RecordAnswer(const ImageKindDescriptor& kind, int answer, ImageSelection& selection)
{
    switch (answer) {
    case AnswerYes: selection.SelectionFlags |= kind.AcceptedBit; return true;
    case AnswerQuit:
        SetFlag(FlagUserQuit);
        selection.SelectionFlags = 0;
        return true;
    default:
        if (kind.DeclineClearsSelection)
            selection.SelectionFlags = 0;
        return false;
    }
}

// Offers the catalog's images for the current adapter, in catalog order,
// until one is accepted, the operator quits or the catalog ends.
void OfferCatalogImages(const ImageKindDescriptor& kind)
{
    InstalledFirmware& installed = CurrentInstalled();
    ImageSelection& selection = CurrentSelection();

    if ((installed.InstalledFlags & kind.RequiredInstalled) == 0)
        return;
    if (kind.AnnouncesAdapter) {
        installed.InstalledFlags |= InstAnnounced;
        PrintHeading(installed);
    }

    char pciIdText[PciIdTextSize];
    std::snprintf(pciIdText, sizeof pciIdText, "%04X-%04X-%04X-%04X", installed.VendorId, installed.DeviceId,
                  installed.SubsystemVendorId, installed.SubsystemId);

    const CatalogFile file(std::fopen(kind.CatalogFile, "r"));
    if (!file)
        return;

    // One entry is up to 4 KiB of file name: keep it off the stack.
    const auto entry = std::make_unique<CatalogEntry>();
    CatalogReader reader = MakeCatalogReader(file.get());
    while (ReadEntry(reader, *entry)) {
        if (std::strcmp(entry->PciId, pciIdText) != 0)
            continue;

        const Step step = TakeEntry(kind, *entry, selection);
        if (step == Step::EndSearch)
            return;
        if (step == Step::NextEntry)
            continue;
        // What the operator is asked about is this file as it is now.
        selection.Identity[static_cast<size_t>(kind.Kind)] = IdentifyImageFile(selection.*kind.PathField);

        if ((installed.InstalledFlags & InstAnnounced) == 0)
            PrintHeading(installed);
        if (RecordAnswer(kind, kind.Confirm(installed, selection), selection))
            return;
    }
}

} // namespace

void SelectImage(ImageKind kind) { OfferCatalogImages(DescriptorOf(kind)); }

int SelectBootCode()
{
    SelectImage(ImageKind::BootCode);
    return 0;
}

int SelectPXE()
{
    SelectImage(ImageKind::Pxe);
    return 0;
}

int SelectCLP()
{
    SelectImage(ImageKind::Clp);
    return 0;
}
