#include "upgrade/update.h"

#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "catalog/confirm.h"
#include "catalog/image_identity.h"
#include "catalog/image_kinds.h"
#include "console/output.h"
#include "state/records.h"
#include "state/run_state.h"
#include "upgrade/backup_name.h"
#include "upgrade/flash_tool.h"
#include "upgrade/reload.h"

namespace {

// The companion version the backup name carries beside the boot code, and
// how many of its numbers: 3, 2 (IPMI) or 0 (none).
int CompanionOf(ImageKind kind, const InstalledFirmware& installed, const ImageSelection& selection,
                FirmwareVersion& version)
{
    if (DescriptorOf(kind).Companion == BackupCompanion::OwnKind) {
        version = DescriptorOf(kind).Installed(installed);
        return 3;
    }
    if (selection.SelectionFlags & SelPxeVersion) {
        version = DescriptorOf(ImageKind::Pxe).Installed(installed);
        return 3;
    }
    if (selection.SelectionFlags & SelIpmiVersion) {
        version = {installed.IpmiMajor, installed.IpmiMinor, 0};
        return 2;
    }
    if (selection.SelectionFlags & SelClpVersion) {
        version = DescriptorOf(ImageKind::Clp).Installed(installed);
        return 3;
    }
    return 0;
}

// Whether an earlier write for this adapter printed its selecting line.
bool AnnouncedBefore(ImageKind kind, const ImageSelection& selection)
{
    for (ImageKind earlier : UpdateOrder) {
        if (earlier == kind)
            break;
        if (DescriptorOf(earlier).AnnouncesAdapter && IsAccepted(selection, earlier))
            return true;
    }
    return false;
}

void AnnounceUpdate(ImageKind kind, const InstalledFirmware& installed, const ImageSelection& selection)
{
    if (!HasFlag(FlagUpdateStarted)) {
        SetFlag(FlagUpdateStarted);
        OutputConsoleOnly("\nThe Firmware Upgrade will take several minutes.  Please be patient.\n");
    }
    if (DescriptorOf(kind).AnnouncesAdapter || !AnnouncedBefore(kind, selection)) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat" // "%-012s": the 0 flag is ignored beside '-'
        Output("\nSelecting %s MAC: %-012s \n", installed.Name, installed.MacText);
#pragma GCC diagnostic pop
    }
    std::array<char, DescriptionSize> description{};
    DescriptorOf(kind).Describe(installed, selection, description.data());
    Output("Upgrading %s\n", description.data());
}

void ReportToolFailure(const InstalledFirmware& installed, int status)
{
    SetFlag(FlagErrors);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat" // "%-012s": the 0 flag is ignored beside '-'
    log_write("ERROR: Upgrade of %s MAC: %-012s failed with internal error %x\n", installed.Name,
              installed.MacText, status);
    OutputConsoleOnly("ERROR: Upgrade of %s MAC: %-012s failed.\n", installed.Name, installed.MacText);
#pragma GCC diagnostic pop
}

// The backup names handed to the flashing tool in this run.
BackupNames& HandedBackups()
{
    static BackupNames names;
    return names;
}

// The image is not handed to the tool: nothing is written, nothing reloaded.
int RefuseWrite(ImageCheck check, const char* image)
{
    SetFlag(FlagErrors);
    if (check == ImageCheck::Changed)
        ReportError("ERROR: Image %s changed since it was confirmed; it was not written\n", image);
    else
        ReportError("ERROR: Image %s cannot be read; it was not written\n", image);
    return WriteRefused;
}

// The backup name the tool gets for this write; false when none is free.
bool TakeBackupName(const char* image, std::array<char, PathFieldSize>& backup)
{
    const std::string formed(backup.data());
    switch (ChooseBackupName(backup, HandedBackups())) {
    case BackupChoice::Formed: return true;
    case BackupChoice::Variant:
        log_write("Backup %s is taken; the backup goes to %s\n", formed.c_str(), backup.data());
        return true;
    case BackupChoice::NoneFree: break;
    }
    SetFlag(FlagErrors);
    ReportError(
        "ERROR: Image %s has no free backup name (%s and its variants are taken); it was not written\n",
        image, formed.c_str());
    return false;
}

std::vector<std::array<WriteResult, 3>>& WriteResults()
{
    static std::vector<std::array<WriteResult, 3>> results;
    return results;
}

void NoteWriteResult(ImageKind kind, WriteResult result)
{
    auto& results = WriteResults();
    if (results.size() <= gRun.CurrentAdapter)
        results.resize(gRun.CurrentAdapter + 1,
                       {WriteResult::NotRun, WriteResult::NotRun, WriteResult::NotRun});
    results[gRun.CurrentAdapter][static_cast<size_t>(kind)] = result;
}

} // namespace

WriteResult WriteResultOf(uint32_t adapter, ImageKind kind)
{
    const auto& results = WriteResults();
    return adapter < results.size() ? results[adapter][static_cast<size_t>(kind)] : WriteResult::NotRun;
}

ImageCheck CheckConfirmedImage(ImageKind kind, const ImageSelection& selection)
{
    const ImageIdentity& confirmed = selection.Identity[static_cast<size_t>(kind)];
    const ImageIdentity now = IdentifyImageFile(ImagePathOf(selection, kind));
    if (!confirmed.Known || !now.Known)
        return ImageCheck::Unreadable;
    return now == confirmed ? ImageCheck::AsConfirmed : ImageCheck::Changed;
}

void FormBackupName(ImageKind kind, const InstalledFirmware& installed, const ImageSelection& selection,
                    std::array<char, PathFieldSize>& name)
{
    FirmwareVersion bootCode = DescriptorOf(ImageKind::BootCode).Installed(installed);
    if (DescriptorOf(kind).Companion == BackupCompanion::OwnKind &&
        IsAccepted(selection, ImageKind::BootCode)) {
        bootCode.Major = selection.BootCodeMajor;
        bootCode.Minor = selection.BootCodeMinor;
    }
    FirmwareVersion companion{};
    const int parts = CompanionOf(kind, installed, selection, companion);
    const char* mac = installed.MacText;
    // A MAC text is at most 12 characters: every name fits the path field.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-truncation"
    if (parts == 3)
        std::snprintf(name.data(), name.size(), "%s%-12s.bc%d.%d.%d.p%d.%d.%d.bin", BackupDir, mac,
                      bootCode.Major, bootCode.Minor, bootCode.Build, companion.Major, companion.Minor,
                      companion.Build);
    else if (parts == 2)
        std::snprintf(name.data(), name.size(), "%s%-12s.bc%d.%d.%d.i%d.%d.bin", BackupDir, mac,
                      bootCode.Major, bootCode.Minor, bootCode.Build, companion.Major, companion.Minor);
    else
        std::snprintf(name.data(), name.size(), "%s%-12s.bc%d.%d.%d.bin", BackupDir, mac, bootCode.Major,
                      bootCode.Minor, bootCode.Build);
#pragma GCC diagnostic pop
}

int UpdateImage(ImageKind kind)
{
    const InstalledFirmware& installed = CurrentInstalled();
    const ImageSelection& selection = CurrentSelection();
    if (!IsAccepted(selection, kind))
        return 0;

    AnnounceUpdate(kind, installed, selection);
    const char* image = ImagePathOf(selection, kind);
    // What the tool writes must be what the operator confirmed.
    if (const ImageCheck check = CheckConfirmedImage(kind, selection); check != ImageCheck::AsConfirmed)
        return RefuseWrite(check, image);
    std::array<char, PathFieldSize> backup{};
    FormBackupName(kind, installed, selection, backup);
    if (!TakeBackupName(image, backup))
        return WriteRefused;

    const int status = RunFlashTool(kind, gRun.CurrentAdapter, image, backup.data());
    if (status != 0) {
        NoteWriteResult(kind, WriteResult::Failed);
        ReportToolFailure(installed, status);
        return status;
    }
    SetFlag(FlagUpdated);
    const int reloaded = ReloadDriver();
    NoteWriteResult(kind, reloaded == 0 ? WriteResult::Written : WriteResult::Failed);
    return reloaded;
}

int UpdateBootCode() { return UpdateImage(ImageKind::BootCode); }
int UpdatePXE() { return UpdateImage(ImageKind::Pxe); }
int UpdateCLP() { return UpdateImage(ImageKind::Clp); }
