#include "upgrade/reload.h"

#include <unistd.h>

#include <string>
#include <vector>

#include "console/output.h"
#include "state/records.h"
#include "state/run_state.h"

namespace {

constexpr char UnloadDriverCommand[] = "rmmod bnx2";
constexpr char LoadDriverCommand[] = "modprobe bnx2";
constexpr unsigned DriverLoadPause = 10; // seconds for the driver to settle
constexpr unsigned InterfaceUpPause = 1;

// The whole pause, also when a noted signal cuts it short: the driver and
// the interface need the time.
void Pause(unsigned seconds)
{
    for (unsigned left = seconds; left > 0;)
        left = sleep(left);
}

int RaiseInterface(const char* interfaceName)
{
    std::string command = "ifconfig ";
    command += ShellWord(interfaceName);
    command += " up";
    return RunCommand(command.c_str());
}

std::vector<bool>& RaisedInterfaces()
{
    static std::vector<bool> raised;
    return raised;
}

} // namespace

int ReloadDriver()
{
    if (int status = RunCommand(UnloadDriverCommand); status != 0) {
        SetFlag(FlagErrors);
        ReportError("ERROR: Could not rmmod bnx2 after upgrade\n");
        return status;
    }
    if (int status = RunCommand(LoadDriverCommand); status != 0) {
        SetFlag(FlagErrors);
        ReportError("ERROR: Could not modprobe bnx2 after upgrade\n");
        return status;
    }
    Pause(DriverLoadPause);
    if (int status = RaiseInterface(CurrentInstalled().InterfaceName); status != 0) {
        SetFlag(FlagErrors);
        ReportError("ERROR: Failed ifconfig ethx up\n");
        return status;
    }
    return 0;
}

int BringUpInterfaces()
{
    RaisedInterfaces().assign(gRun.AdapterCount, false);
    for (uint32_t i = 0; i < gRun.AdapterCount; ++i) {
        const char* name = gRun.Installed[i].InterfaceName;
        if (int status = RaiseInterface(name); status != 0) {
            ReportError("ERROR: Failed ifconfig %s up\n", name);
            return status;
        }
        RaisedInterfaces()[i] = true;
        Pause(InterfaceUpPause);
    }
    return 0;
}

bool InterfaceRaised(uint32_t adapter)
{
    return adapter < RaisedInterfaces().size() && RaisedInterfaces()[adapter];
}
