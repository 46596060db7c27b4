#include "planning/plan.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "adapters/inventory.h"
#include "catalog/image_file.h"
#include "catalog/image_kinds.h"
#include "catalog/select.h"
#include "console/allocation.h"
#include "console/output.h"
#include "state/bmapi.h"
#include "state/run_state.h"
#include "upgrade/backup_name.h"
#include "upgrade/flash_tool.h"
#include "upgrade/update.h"

namespace {

// A library text field, which need not hold a NUL.
template <size_t N> std::string FieldText(const char (&field)[N])
{
    return std::string(field, strnlen(field, N));
}

// The plan that the selection hook adds its warnings to while it is taken.
Plan* planInProgress = nullptr;

std::string AdapterLabel(uint32_t index)
{
    return "adapter " + std::to_string(index) + " (MAC " + FieldText(gRun.Installed[index].MacText) + ")";
}

// Why a file that the image reader refused cannot be read.
std::string UnreadableReason(const char* path)
{
    struct stat info {};
    if (stat(path, &info) != 0)
        return std::strerror(errno);
    if (S_ISDIR(info.st_mode))
        return "it is a directory";
    if (!S_ISREG(info.st_mode))
        return "it is not a regular file";
    if (static_cast<unsigned long long>(info.st_size) > ImageFileMaximum)
        return "it is larger than " + std::to_string(ImageFileMaximum) + " bytes";
    return "it cannot be read whole";
}

void NotePassedOver(ImageKind kind, PassedOver why, const char* detail)
{
    if (planInProgress == nullptr)
        return;
    const std::string kindLabel = KindLabel(kind);
    std::string text = AdapterLabel(gRun.CurrentAdapter) + ": ";
    switch (why) {
    case PassedOver::ImageUnreadable:
        text += kindLabel + " image " + detail + " cannot be read (" + UnreadableReason(detail) +
                "); the entry is passed over";
        break;
    case PassedOver::VersionUnusable:
        text +=
            kindLabel + " catalog entry with the version '" + detail + "' gives no version; " +
            (kind == ImageKind::BootCode ? "the boot code search ends there" : "the entry is passed over");
        break;
    case PassedOver::PathTooLong:
        text += kindLabel + " catalog entry with a file name too long for a path; the entry is passed over";
        break;
    }
    planInProgress->Warnings.push_back(std::move(text));
}

// The installed image a write replaces, and the version the selection
// recorded for the new one (as the update run describes it).
void DescribeVersions(ImageKind kind, const InstalledFirmware& nic, const ImageSelection& sel,
                      PlannedWrite& write)
{
    const ImageKindDescriptor& descriptor = DescriptorOf(kind);
    write.From = descriptor.Installed(nic);
    // A CLP image may replace an installed PXE image, which is then the one it replaces.
    const bool clpOverPxe = kind == ImageKind::Clp &&
                            (nic.InstalledFlags & (InstClpVersion | InstIscsiVersion)) == 0 &&
                            (nic.InstalledFlags & InstPxeVersion) != 0;
    if (clpOverPxe)
        write.From = DescriptorOf(ImageKind::Pxe).Installed(nic);
    if (sel.SelectionFlags & descriptor.VersionBit)
        write.To = descriptor.Selected(sel);
}

// The write the update pass would make of the kind's image, with the backup
// name it would choose; false, with a warning, when the run would refuse it.
bool PlanWrite(ImageKind kind, uint32_t index, BackupNames& handed, Plan& plan, PlannedWrite& write)
{
    const InstalledFirmware& nic = gRun.Installed[index];
    const ImageSelection& sel = gRun.Selections[index];
    const std::string refused =
        AdapterLabel(index) + ": " + KindLabel(kind) + " image " + ImagePathOf(sel, kind);
    // What the run checks before it writes; the plan sees the file as the selection did.
    if (!sel.Identity[static_cast<size_t>(kind)].Known) {
        plan.Warnings.push_back(refused + " cannot be read (" + UnreadableReason(ImagePathOf(sel, kind)) +
                                "); the run would not write it");
        return false;
    }
    std::array<char, PathFieldSize> backup{};
    FormBackupName(kind, nic, sel, backup);
    const std::string formed = backup.data();
    if (ChooseBackupName(backup, handed) == BackupChoice::NoneFree) {
        plan.Warnings.push_back(refused + " has no free backup name (" + formed +
                                " and its variants are taken); the run would not write it");
        return false;
    }
    write.Kind = kind;
    write.Image = ImagePathOf(sel, kind);
    DescribeVersions(kind, nic, sel, write);
    write.Backup = backup.data();
    write.Forced = plan.Forced;
    write.Identity = sel.Identity[static_cast<size_t>(kind)];
    return true;
}

// What the update pass would hand the tool: it runs after the whole
// selection pass, so every run sees the final tool form, and it never hands
// two writes the same backup name.
void CollectWrites(Plan& plan)
{
    plan.Forced = FlashToolForced();
    BackupNames handed;
    for (uint32_t i = 0; i < gRun.AdapterCount; ++i) {
        AdapterPlan adapter = DescribeInstalledAdapter(i);
        const InstalledFirmware& nic = gRun.Installed[i];
        for (ImageKind kind : UpdateOrder) {
            PlannedWrite write;
            if (IsAccepted(gRun.Selections[i], kind) && PlanWrite(kind, i, handed, plan, write))
                adapter.Writes.push_back(std::move(write));
        }
        if ((nic.InstalledFlags &
             (InstBootCodeVersion | InstPxeVersion | InstClpVersion | InstIscsiVersion)) == 0)
            plan.Warnings.push_back(
                "adapter " + std::to_string(i) + " (MAC " + adapter.Mac +
                "): no installed firmware version could be read; nothing is planned for it");
        plan.Adapters.push_back(std::move(adapter));
    }
}

// The selection pass of the upgrade run, with its silent answers. A silent
// run is never asked, so it never quits.
void SelectionPass(Plan& plan)
{
    planInProgress = &plan;
    gSelectionPassedOver = NotePassedOver;
    for (uint32_t i = 0; i < gRun.AdapterCount; ++i) {
        gRun.CurrentAdapter = i;
        SelectBootCode();
        SelectPXE();
        SelectCLP();
    }
    gSelectionPassedOver = nullptr;
    planInProgress = nullptr;
}

// The catalog files' states. False, with the reason, when none is present:
// then nothing could ever be planned, which must not pass for "up to date".
bool FindCatalogs(Plan& plan, std::string& reason)
{
    bool present = false;
    std::string others;
    for (ImageKind kind : UpdateOrder) {
        const char* path = DescriptorOf(kind).CatalogFile;
        const CatalogState state = CatalogStateOf(path);
        plan.Catalogs[static_cast<size_t>(kind)] = state;
        present = present || state == CatalogState::Present;
        if (state != CatalogState::Missing)
            others += std::string(others.empty() ? " (" : ", ") + (path + std::strlen(CatalogRootDir)) + " " +
                      CatalogStateWords(state);
    }
    if (!present)
        reason =
            std::string("no firmware catalog under ") + CatalogRootDir + others + (others.empty() ? "" : ")");
    return present;
}

// With the library open: the inventory, the catalogs and the selection
// records. False, with the reason, when there is nothing to plan on.
bool ReadyToSelect(Plan& plan, std::string& reason)
{
    switch (TakeInventory()) {
    case Inventory::Taken: break;
    case Inventory::NoAdapters: reason = "no supported network adapters"; return false;
    case Inventory::NoMemory: reason = "not enough memory for the adapter records"; return false;
    }
    if (!FindCatalogs(plan, reason))
        return false;
    gRun.Selections = static_cast<ImageSelection*>(AllocateZeroed(gRun.AdapterCount, sizeof(ImageSelection)));
    if (gRun.Selections == nullptr) {
        reason = "not enough memory for the image selections";
        return false;
    }
    return true;
}

} // namespace

CatalogState CatalogStateOf(const char* path)
{
    // Looked at before it is opened: opening a device or a FIFO could block
    // or have effects of its own.
    struct stat info {};
    if (stat(path, &info) != 0)
        return errno == ENOENT || errno == ENOTDIR ? CatalogState::Missing : CatalogState::Unreadable;
    if (!S_ISREG(info.st_mode))
        return CatalogState::NotRegular;
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return CatalogState::Unreadable;
    char byte = 0;
    const bool readable = read(fd, &byte, 1) >= 0;
    close(fd);
    return readable ? CatalogState::Present : CatalogState::Unreadable;
}

AdapterPlan DescribeInstalledAdapter(uint32_t index)
{
    const InstalledFirmware& nic = gRun.Installed[index];
    AdapterPlan adapter;
    adapter.Index = index;
    adapter.Mac = FieldText(nic.MacText);
    char pciId[24];
    std::snprintf(pciId, sizeof pciId, "%04X-%04X-%04X-%04X", nic.VendorId, nic.DeviceId,
                  nic.SubsystemVendorId, nic.SubsystemId);
    adapter.PciId = pciId;
    adapter.Name = FieldText(nic.Name);
    adapter.Interface = FieldText(nic.InterfaceName);
    if (nic.InstalledFlags & InstBootCodeVersion)
        adapter.BootCode = DescriptorOf(ImageKind::BootCode).Installed(nic);
    if (nic.InstalledFlags & InstPxeVersion)
        adapter.Pxe = DescriptorOf(ImageKind::Pxe).Installed(nic);
    // The installed CLP fields hold the installed CLP or iSCSI image.
    if (nic.InstalledFlags & InstClpVersion)
        adapter.Clp = DescriptorOf(ImageKind::Clp).Installed(nic);
    if (nic.InstalledFlags & InstIscsiVersion)
        adapter.Iscsi = DescriptorOf(ImageKind::Clp).Installed(nic);
    return adapter;
}

bool TakePlan(bool force, Plan& plan, std::string& reason, bool keepLibraryOpen)
{
    // The answers of -s (and -F); with FlagSilent nothing reaches the console,
    // and logging is never turned on.
    SetFlag(FlagSilent);
    if (force)
        SetFlag(FlagForce);
    plan.Force = force;

    uint32_t major = 0, minor = 0, build = 0;
    BmapiGetVersion(&major, &minor, &build);
    plan.Library = FirmwareVersion{major, minor, build};
    if (!LibraryVersionSupported()) {
        reason = "the adapter library " + VersionText(plan.Library) + " is older than 3.0.2";
        return false;
    }
    if (const uint32_t status = BmapiInitializeEx(0); status != 0) {
        reason = "the adapter library could not be initialised (status " + std::to_string(status) + ")";
        return false;
    }
    const bool ready = ReadyToSelect(plan, reason);
    if (ready) {
        SelectionPass(plan);
        CollectWrites(plan);
    }
    if (!ready || !keepLibraryOpen)
        BmapiUninitialize();
    return ready;
}
