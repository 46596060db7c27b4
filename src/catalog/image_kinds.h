// What differs between the three image kinds, one descriptor per kind. The
// catalog search, the confirmation, the update run and the flashing tool
// command line are written once and read their kind's descriptor.
#pragma once

#include <array>
#include <cstdint>

#include "state/records.h"

struct CatalogEntry;

// The folder of the three catalogs.
inline constexpr char CatalogRootDir[] = "/opt/orvan/nic_fw/nx2/";
inline constexpr char BootCodeCatalogDir[] = "/opt/orvan/nic_fw/nx2/bootcode/";
inline constexpr char BootCodeCatalogFile[] = "/opt/orvan/nic_fw/nx2/bootcode/bootcode.info";
inline constexpr char PxeCatalogDir[] = "/opt/orvan/nic_fw/nx2/pxe/";
inline constexpr char PxeCatalogFile[] = "/opt/orvan/nic_fw/nx2/pxe/pxe.info";
inline constexpr char ClpCatalogDir[] = "/opt/orvan/nic_fw/nx2/clp/";
inline constexpr char ClpCatalogFile[] = "/opt/orvan/nic_fw/nx2/clp/clp.info";

// Takes the version of a matching catalog entry whose image path is already
// in the selection; false when the entry gives none.
using EntryVersionReader = bool (*)(const CatalogEntry& entry, const char* imagePath,
                                    ImageSelection& selection);
// Writes the change as text (DescriptionSize bytes) when the selected version
// is valid; otherwise leaves the text as it is.
using ChangeFormatter = void (*)(const InstalledFirmware& installed, const ImageSelection& selection,
                                 char* text);
// Returns AnswerYes, AnswerNo or AnswerQuit.
using Confirmation = int (*)(const InstalledFirmware& installed, const ImageSelection& selection);

// Printed when the selected image is not newer than the installed one.
struct VersionWarnings {
    const char* Same;
    const char* Older;
};

// Which installed versions a backup name carries beside the boot code.
enum class BackupCompanion {
    KnownImages, // the first of PXE, IPMI (two numbers), CLP that the selection knows, or none
    OwnKind,     // the kind's own installed version, beside a boot code accepted in the same pass
};

struct ImageKindDescriptor {
    ImageKind Kind;
    const char* CatalogDir; // ends in '/': the image path is this and the file name
    const char* CatalogFile;
    uint32_t RequiredInstalled; // InstalledFlags: the step runs when any of them is set
    uint32_t AcceptedBit;       // SelectionFlags
    uint32_t VersionBit;        // SelectionFlags: the selected version is valid
    char (ImageSelection::*PathField)[PathFieldSize];
    FirmwareVersion (*Installed)(const InstalledFirmware& installed);
    FirmwareVersion (*Selected)(const ImageSelection& selection);
    EntryVersionReader ReadVersion;
    ChangeFormatter Describe;
    Confirmation Confirm;
    VersionWarnings Warnings;
    const char* ToolSwitch; // the flashing tool's image kind option
    BackupCompanion Companion;
    // Boot code rules. The kind that announces the adapter prints its heading
    // before searching (the others only when it did not) and, in the update
    // pass, its selecting line (the others only when its image was not
    // accepted).
    bool AnnouncesAdapter;
    bool DeclineClearsSelection;     // a declined image takes every selection bit with it
    bool MalformedVersionEndsSearch; // a version token of the wrong shape ends the search
};

const ImageKindDescriptor& DescriptorOf(ImageKind kind);

// The order in which the update pass writes an adapter's images.
inline constexpr std::array<ImageKind, 3> UpdateOrder = {ImageKind::BootCode, ImageKind::Pxe, ImageKind::Clp};

bool IsAccepted(const ImageSelection& selection, ImageKind kind);
// The path field that holds the image of a kind.
const char* ImagePathOf(const ImageSelection& selection, ImageKind kind);
