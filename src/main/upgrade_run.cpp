// The default run mode: inventory, the selection pass, the update pass,
// interface bring-up and the outcome.
#include <unistd.h>

#include "adapters/bmapi.h"
#include "adapters/records.h"
#include "catalog/select.h"
#include "console/allocation.h"
#include "console/output.h"
#include "main/modes.h"
#include "main/run_mode_common.h"
#include "main/run_state.h"
#include "upgrade/reload.h"
#include "upgrade/update.h"

namespace {

int CancelledByUser()
{
    // Nothing has been written; the library and the interfaces stay as they are.
    Output("\nFirmware upgrade cancelled by User \n");
    return StatusRefused;
}

} // namespace

int RunUpgrade()
{
    if (getuid() != 0 && geteuid() != 0) {
        Output("Permission denied - must have root priveleges\n");
        return StatusRefused;
    }
    LogResume();
    Output("Orvan Gigabit Server Adapter Firmware Upgrade Utility\n");

    if (!LibraryVersionSupported())
        return StatusRefused;
    if (BmapiInitializeEx(0) != 0)
        return StatusRefused;

    switch (TakeInventory()) {
    case Inventory::Taken: break;
    case Inventory::NoAdapters:
        BmapiUninitialize();
        Output("No supported network adapters for firmware upgrade.\n");
        return StatusRefused;
    case Inventory::NoMemory: BmapiUninitialize(); return StatusRefused;
    }

    // Without the selection array there is nothing to record choices in.
    gRun.Selections = static_cast<ImageSelection*>(AllocateZeroed(gRun.AdapterCount, sizeof(ImageSelection)));
    if (gRun.Selections == nullptr) {
        BmapiUninitialize();
        return StatusRefused;
    }

    for (uint32_t i = 0; i < gRun.AdapterCount; ++i) {
        gRun.CurrentAdapter = i;
        SelectBootCode();
        if (HasFlag(FlagUserQuit))
            return CancelledByUser();
        SelectPXE();
        SelectCLP();
        if (HasFlag(FlagUserQuit))
            return CancelledByUser();
    }

    for (uint32_t i = 0; i < gRun.AdapterCount; ++i) {
        gRun.CurrentAdapter = i;
        UpdateBootCode();
        UpdatePXE();
        UpdateCLP();
    }

    // A failed bring-up leaves the library open; the outcome does not change.
    if (BringUpInterfaces() == 0)
        BmapiUninitialize();

    if (HasFlag(FlagErrors)) {
        Output("\nNIC firmware update completed with errors. \n");
        return StatusErrors;
    }
    if (HasFlag(FlagUpdated)) {
        Output("\nNIC firmware update complete.\n");
        return StatusComplete;
    }
    return StatusRefused;
}
