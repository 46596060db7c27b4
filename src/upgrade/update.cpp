#include "upgrade/update.h"

#include <array>
#include <cstdio>

#include "adapters/records.h"
#include "catalog/confirm.h"
#include "console/output.h"
#include "main/run_state.h"
#include "upgrade/flash_tool.h"
#include "upgrade/reload.h"

namespace {

using Formatter = void (*)(const InstalledFirmware&, const ImageSelection&, char*);

struct UpdateKind {
    uint32_t AcceptedBit;
    Formatter Describe;
    ImageKind Tool;
};

constexpr UpdateKind BootCodeUpdate{SelBootCodeAccepted, DescribeBootCode, ImageKind::BootCode};
constexpr UpdateKind PxeUpdate{SelPxeAccepted, DescribePxe, ImageKind::Pxe};
constexpr UpdateKind ClpUpdate{SelClpAccepted, DescribeClp, ImageKind::Clp};

struct Companion {
    int Parts; // 0: boot code only; 2 or 3 numbers
    uint32_t Major, Minor, Build;
};

Companion CompanionOf(ImageKind kind, const InstalledFirmware& installed, const ImageSelection& selection)
{
    const Companion pxe{3, installed.PxeMajor, installed.PxeMinor, installed.PxeBuild};
    const Companion clp{3, installed.ClpMajor, installed.ClpMinor, installed.ClpBuild};
    switch (kind) {
    case ImageKind::Pxe: return pxe;
    case ImageKind::Clp: return clp;
    case ImageKind::BootCode: break;
    }
    if (selection.SelectionFlags & SelPxeVersion)
        return pxe;
    if (selection.SelectionFlags & SelIpmiVersion)
        return {2, installed.IpmiMajor, installed.IpmiMinor, 0};
    if (selection.SelectionFlags & SelClpVersion)
        return clp;
    return {0, 0, 0, 0};
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat" // "%-012s": the 0 flag is ignored beside '-'
#pragma GCC diagnostic ignored "-Wformat-truncation"

} // namespace

// The backup names the firmware the write replaces: the boot code on the
// adapter (or the one just accepted) and its companion image.
void FormBackupName(ImageKind kind, const InstalledFirmware& installed, const ImageSelection& selection,
                    std::array<char, PathFieldSize>& name)
{
    uint32_t major = installed.BootCodeMajor, minor = installed.BootCodeMinor;
    if (kind != ImageKind::BootCode && (selection.SelectionFlags & SelBootCodeAccepted)) {
        major = selection.BootCodeMajor;
        minor = selection.BootCodeMinor;
    }
    const uint32_t build = installed.BootCodeBuild;
    const Companion companion = CompanionOf(kind, installed, selection);
    if (companion.Parts == 3)
        std::snprintf(name.data(), name.size(), "%s%-12s.bc%d.%d.%d.p%d.%d.%d.bin", BackupDir,
                      installed.MacText, major, minor, build, companion.Major, companion.Minor,
                      companion.Build);
    else if (companion.Parts == 2)
        std::snprintf(name.data(), name.size(), "%s%-12s.bc%d.%d.%d.i%d.%d.bin", BackupDir, installed.MacText,
                      major, minor, build, companion.Major, companion.Minor);
    else
        std::snprintf(name.data(), name.size(), "%s%-12s.bc%d.%d.%d.bin", BackupDir, installed.MacText, major,
                      minor, build);
}

namespace {

int RunUpdate(const UpdateKind& kind)
{
    const InstalledFirmware& installed = CurrentInstalled();
    const ImageSelection& selection = CurrentSelection();
    if ((selection.SelectionFlags & kind.AcceptedBit) == 0)
        return 0;

    if (!HasFlag(FlagUpdateStarted)) {
        SetFlag(FlagUpdateStarted);
        OutputConsoleOnly("\nThe Firmware Upgrade will take several minutes.  Please be patient.\n");
    }
    // After a boot code write the adapter has been announced already.
    if (kind.Tool == ImageKind::BootCode || (selection.SelectionFlags & SelBootCodeAccepted) == 0)
        Output("\nSelecting %s MAC: %-012s \n", installed.Name, installed.MacText);

    std::array<char, DescriptionSize> description{};
    kind.Describe(installed, selection, description.data());
    Output("Upgrading %s\n", description.data());

    std::array<char, PathFieldSize> backup{};
    FormBackupName(kind.Tool, installed, selection, backup);

    int status =
        RunFlashTool(kind.Tool, gRun.CurrentAdapter, ImagePathOf(selection, kind.Tool), backup.data());
    if (status != 0) {
        SetFlag(FlagErrors);
        log_write("ERROR: Upgrade of %s MAC: %-012s failed with internal error %x\n", installed.Name,
                  installed.MacText, status);
        OutputConsoleOnly("ERROR: Upgrade of %s MAC: %-012s failed.\n", installed.Name, installed.MacText);
        return status;
    }
    SetFlag(FlagUpdated);
    return ReloadDriver();
}

#pragma GCC diagnostic pop

} // namespace

int UpdateBootCode() { return RunUpdate(BootCodeUpdate); }
int UpdatePXE() { return RunUpdate(PxeUpdate); }
int UpdateCLP() { return RunUpdate(ClpUpdate); }
