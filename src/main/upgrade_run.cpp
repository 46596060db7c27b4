// The default run mode: inventory, the selection pass, the update pass,
// interface bring-up and the outcome.
#include <unistd.h>

#include "adapters/inventory.h"
#include "catalog/select.h"
#include "console/allocation.h"
#include "console/output.h"
#include "main/modes.h"
#include "state/bmapi.h"
#include "state/records.h"
#include "state/run_state.h"
#include "upgrade/run_lock.h"
#include "upgrade/update_pass.h"

namespace {

constexpr char ProgramName[] = "tidemark";

int CancelledByUser()
{
    // Nothing has been written; the library and the interfaces stay as they are.
    Output("\nFirmware upgrade cancelled by User \n");
    return StatusRefused;
}

// One upgrade at a time: a run that cannot take the lock asks nothing and
// writes nothing, and says who holds it.
bool LockRun()
{
    const LockReport lock = TakeRunLock(ProgramName);
    LogResume();
    if (lock.State == LockState::Taken)
        return true;
    if (lock.State == LockState::Held)
        Output("Another firmware upgrade is in progress: %s.\n", DescribeRunLock(lock).c_str());
    else
        Output("Cannot start a firmware upgrade: %s.\n", DescribeRunLock(lock).c_str());
    return false;
}

// Root check, the run lock, log on, banner, library version, library open.
bool StartRun()
{
    if (getuid() != 0 && geteuid() != 0) {
        Output("Permission denied - must have root priveleges\n");
        return false;
    }
    if (!LockRun())
        return false;
    Output("Orvan Gigabit Server Adapter Firmware Upgrade Utility\n");
    return LibraryVersionSupported() && BmapiInitializeEx(0) == 0;
}

// The adapters and the zero-filled selection array to record choices in.
// False, with the library closed, when there is nothing to work on.
bool PrepareAdapters()
{
    switch (TakeInventory()) {
    case Inventory::Taken: break;
    case Inventory::NoAdapters:
        BmapiUninitialize();
        Output("No supported network adapters for firmware upgrade.\n");
        return false;
    case Inventory::NoMemory: BmapiUninitialize(); return false;
    }
    gRun.Selections = static_cast<ImageSelection*>(AllocateZeroed(gRun.AdapterCount, sizeof(ImageSelection)));
    if (gRun.Selections == nullptr) {
        BmapiUninitialize();
        return false;
    }
    return true;
}

// False when the operator quit: a quit during boot code selection cancels
// before the adapter's PXE and CLP images are offered.
bool SelectionPass()
{
    for (uint32_t i = 0; i < gRun.AdapterCount; ++i) {
        gRun.CurrentAdapter = i;
        SelectBootCode();
        if (HasFlag(FlagUserQuit))
            return false;
        SelectPXE();
        SelectCLP();
        if (HasFlag(FlagUserQuit))
            return false;
    }
    return true;
}

} // namespace

int RunUpgrade()
{
    if (!StartRun() || !PrepareAdapters())
        return StatusRefused;
    if (!SelectionPass())
        return CancelledByUser();
    return RunUpdatePass();
}
