#include "catalog/image_kinds.h"

#include "catalog/confirm.h"
#include "catalog/entry_version.h"

namespace {

FirmwareVersion InstalledBootCode(const InstalledFirmware& i)
{
    return {i.BootCodeMajor, i.BootCodeMinor, i.BootCodeBuild};
}
FirmwareVersion SelectedBootCode(const ImageSelection& s)
{
    return {s.BootCodeMajor, s.BootCodeMinor, s.BootCodeBuild};
}
FirmwareVersion InstalledPxe(const InstalledFirmware& i) { return {i.PxeMajor, i.PxeMinor, i.PxeBuild}; }
FirmwareVersion SelectedPxe(const ImageSelection& s) { return {s.PxeMajor, s.PxeMinor, s.PxeBuild}; }
// The installed CLP fields hold the installed CLP or iSCSI image.
FirmwareVersion InstalledClp(const InstalledFirmware& i) { return {i.ClpMajor, i.ClpMinor, i.ClpBuild}; }
FirmwareVersion SelectedClp(const ImageSelection& s) { return {s.ClpMajor, s.ClpMinor, s.ClpBuild}; }

// One row per kind, in ImageKind order.
constexpr std::array<ImageKindDescriptor, 3> Descriptors = {{
    {
        .Kind = ImageKind::BootCode,
        .CatalogDir = BootCodeCatalogDir,
        .CatalogFile = BootCodeCatalogFile,
        .RequiredInstalled = InstBootCodeVersion,
        .AcceptedBit = SelBootCodeAccepted,
        .VersionBit = SelBootCodeVersion,
        .PathField = &ImageSelection::BootCodePath,
        .Installed = InstalledBootCode,
        .Selected = SelectedBootCode,
        .ReadVersion = BootCodeVersionFromToken,
        .Describe = DescribeBootCode,
        .Confirm = ConfirmBootCode,
        .Warnings = {"*** WARNING *** - Installed Boot Code is the same version as selected Boot Code.\n",
                     "*** WARNING *** - Installed Boot Code is more recent than selected Boot Code.\n"},
        .ToolSwitch = "-bc",
        .Companion = BackupCompanion::KnownImages,
        .AnnouncesAdapter = true,
        .DeclineClearsSelection = true,
        .MalformedVersionEndsSearch = true,
    },
    {
        .Kind = ImageKind::Pxe,
        .CatalogDir = PxeCatalogDir,
        .CatalogFile = PxeCatalogFile,
        .RequiredInstalled = InstPxeVersion,
        .AcceptedBit = SelPxeAccepted,
        .VersionBit = SelPxeVersion,
        .PathField = &ImageSelection::PxePath,
        .Installed = InstalledPxe,
        .Selected = SelectedPxe,
        .ReadVersion = VersionsFromImageFile,
        .Describe = DescribePxe,
        .Confirm = ConfirmPxe,
        .Warnings = {"*** WARNING *** - Installed PXE is the same version as selected PXE.\n",
                     "*** WARNING *** - Installed PXE is more recent than selected PXE.\n"},
        .ToolSwitch = "-mba",
        .Companion = BackupCompanion::OwnKind,
        .AnnouncesAdapter = false,
        .DeclineClearsSelection = false,
        .MalformedVersionEndsSearch = false,
    },
    {
        .Kind = ImageKind::Clp,
        .CatalogDir = ClpCatalogDir,
        .CatalogFile = ClpCatalogFile,
        // A CLP image may replace a CLP, iSCSI or PXE option ROM.
        .RequiredInstalled = InstClpVersion | InstIscsiVersion | InstPxeVersion,
        .AcceptedBit = SelClpAccepted,
        .VersionBit = SelClpVersion,
        .PathField = &ImageSelection::ClpPath,
        .Installed = InstalledClp,
        .Selected = SelectedClp,
        .ReadVersion = ClpVersionFromToken,
        .Describe = DescribeClp,
        .Confirm = ConfirmClp,
        .Warnings = {"*** WARNING *** - Installed CLP is the same version as selected CLP.\n",
                     "*** WARNING *** - Installed CLP is more recent than selected CLP.\n"},
        .ToolSwitch = "-mba",
        .Companion = BackupCompanion::OwnKind,
        .AnnouncesAdapter = false,
        .DeclineClearsSelection = false,
        .MalformedVersionEndsSearch = false,
    },
}};

constexpr bool InKindOrder()
{
    for (size_t i = 0; i < Descriptors.size(); ++i)
        if (static_cast<size_t>(Descriptors[i].Kind) != i)
            return false;
    return true;
}
static_assert(InKindOrder(), "the descriptor table is indexed by ImageKind");

} // namespace

const ImageKindDescriptor& DescriptorOf(ImageKind kind) { return Descriptors[static_cast<size_t>(kind)]; }

bool IsAccepted(const ImageSelection& selection, ImageKind kind)
{
    return (selection.SelectionFlags & DescriptorOf(kind).AcceptedBit) != 0;
}

char* ImagePathOf(ImageSelection& selection, ImageKind kind)
{
    return selection.*DescriptorOf(kind).PathField;
}

const char* ImagePathOf(const ImageSelection& selection, ImageKind kind)
{
    return selection.*DescriptorOf(kind).PathField;
}
