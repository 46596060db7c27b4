#include "upgrade/update_pass.h"

#include "catalog/image_kinds.h"
#include "console/output.h"
#include "state/bmapi.h"
#include "state/run_state.h"
#include "upgrade/interruption.h"
#include "upgrade/reload.h"
#include "upgrade/update.h"

namespace {

// No further image once a signal was noted: the write in progress, and its
// driver reload, have ended by then.
void UpdatePass()
{
    for (uint32_t i = 0; i < gRun.AdapterCount; ++i) {
        gRun.CurrentAdapter = i;
        for (ImageKind kind : UpdateOrder) {
            if (InterruptingSignal() != 0)
                return;
            UpdateImage(kind);
        }
    }
}

int Outcome()
{
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

} // namespace

int RunUpdatePass()
{
    // Until every interface is up again a signal is noted, not obeyed.
    CatchInterruptions();
    UpdatePass();
    // A failed bring-up leaves the library open; the outcome does not change.
    if (BringUpInterfaces() == 0)
        BmapiUninitialize();
    ReleaseInterruptions();
    ReportInterruption();
    return Outcome();
}
