#include "upgrade/interruption.h"

#include <signal.h>

#include <array>
#include <utility>

#include "console/output.h"
#include "state/run_state.h"

namespace {

constexpr std::array<std::pair<int, const char*>, 4> CaughtSignals = {{
    {SIGINT, "SIGINT"},
    {SIGTERM, "SIGTERM"},
    {SIGHUP, "SIGHUP"},
    {SIGQUIT, "SIGQUIT"},
}};

volatile sig_atomic_t noted = 0;

void NoteSignal(int sig)
{
    if (noted == 0)
        noted = sig;
}

void SetDisposition(int sig, void (*handler)(int))
{
    struct sigaction action {};
    action.sa_handler = handler;
    // The caught signals wait for each other's handler: the first one stays
    // the one noted.
    sigemptyset(&action.sa_mask);
    for (const auto& [caught, name] : CaughtSignals)
        sigaddset(&action.sa_mask, caught);
    // Reads and writes resume after the handler; a pause returns early and
    // its caller sleeps the rest.
    action.sa_flags = SA_RESTART;
    sigaction(sig, &action, nullptr);
}

const char* SignalName(int sig)
{
    for (const auto& [caught, name] : CaughtSignals)
        if (caught == sig)
            return name;
    return "a signal";
}

} // namespace

void CatchInterruptions()
{
    noted = 0;
    for (const auto& [sig, name] : CaughtSignals)
        SetDisposition(sig, NoteSignal);
    SetDisposition(SIGPIPE, SIG_IGN);
}

void ReleaseInterruptions()
{
    for (const auto& [sig, name] : CaughtSignals)
        SetDisposition(sig, SIG_DFL);
}

int InterruptingSignal() { return noted; }

void ReportInterruption()
{
    const int sig = noted;
    if (sig == 0)
        return;
    SetFlag(FlagErrors);
    Output("Firmware update interrupted by %s: no further image was written.\n", SignalName(sig));
}
