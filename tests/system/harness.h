// System-test harness: runs the real tidemark binary in a private mount
// namespace whose /opt, /var/opt and /usr/sbin are a test's own directories,
// against a simulated fleet, with recording stand-ins for the flashing tool,
// rmmod, modprobe and ifconfig.
//
// Layout of one test's sandbox root (ROOT):
//   ROOT/opt/orvan/nic_fw/nx2/{bootcode,pxe,clp}/   the catalog   (/opt)
//   ROOT/varopt/orvan/                              log directory (/var/opt)
//   ROOT/usrsbin/                                   stand-ins     (/usr/sbin)
//   ROOT/fleet/                                     the simulated adapters
//   ROOT/run/                                       the run lock      (/run)
//   ROOT/trace                                      what the stand-ins and the
//                                                   sleep recorder were asked
// Runs of one test share ROOT, and so the run lock, as runs on one server do.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fleet.h"

namespace systest {

inline constexpr char Banner[] = "Orvan Gigabit Server Adapter Firmware Upgrade Utility\n";

struct RunResult {
    int Status = -1; // exit status; -1 when the program did not exit normally
    int Signal = 0;  // the signal that ended it, 0 when it exited
    std::string Out; // standard output, bytes as written
    std::string Err; // standard error, bytes as written
};

enum class InputKind {
    Text,    // a pipe that delivers Input and then end of file
    DevNull, // /dev/null
    Closed,  // descriptor 0 closed
};

// One turn of a conversation with the program: once its standard output
// shows Prompt (after the previous step's), Action runs, Signal (unless 0)
// goes to the program's process group, and Answer is typed.
struct Step {
    std::string Prompt;
    std::function<void()> Action;
    int Signal = 0;
    std::string Answer;
};

struct RunOptions {
    InputKind Stdin = InputKind::DevNull;
    std::string Input; // typed at once; with Steps, before the first step's answer
    // With steps, standard input is a pipe that stays open until the last
    // step's answer is typed. A run ended by a step's signal is expected to
    // end by it.
    std::vector<Step> Steps;
    bool StdoutClosed = false; // descriptor 1 closed instead of captured
    // Real and effective user id to run the program as (root only).
    std::optional<uid_t> RealUid, EffectiveUid;
    // The program to run; empty: tidemark.
    std::string Program;
    // The first pause of this many seconds waits for a signal (at most
    // HeldPauseLimit seconds), creates ROOT/pause.held when it begins, and
    // reports that one second of it passed when a signal cut it. 0: none.
    unsigned HoldPause = 0;
};

// A program that Start has started and Finish has not yet waited for. Its
// process id is also its process group's.
struct StartedRun {
    pid_t Pid = -1;
    int OutFd = -1, ErrFd = -1, InFd = -1;
    std::string Input;
    std::vector<Step> Steps;
};

// Exit codes of the recording stand-ins in ROOT/usrsbin.
struct StandIns {
    int Wrenflash = 0;
    int Rmmod = 0;
    int Modprobe = 0;
    // The one call (counted from 1 over the run) of rmmod or modprobe that
    // exits with 1 whatever the codes above say; 0 for none.
    int RmmodFailingCall = 0;
    int ModprobeFailingCall = 0;
    int Ifconfig = 0;                          // for interfaces not in the map
    std::map<std::string, int> IfconfigByName; // "eth1" -> 1
    bool RealWrenflash = false;                // install the stand-in tool instead
    // Recording flashing tool only:
    std::map<std::string, int> WrenflashByMac; // first argument -> exit code
    std::string WrenflashOutput;               // printed on its standard output
    int WrenflashKillsShell = 0;               // signal sent to the shell that runs it
    std::string WrenflashKillsFor;             // only in the run for this MAC (empty: every run)
    // Every run creates ROOT/wrenflash.started after recording its command
    // line, then waits until ROOT/wrenflash.go exists (at most
    // StandInWaitLimit seconds), prints WrenflashOutput and records
    // "wrenflash done" before it exits.
    bool WrenflashWaits = false;
};

// Bounds of the waits above: a test that fails never hangs on them.
inline constexpr int StandInWaitLimit = 30;
inline constexpr int HeldPauseLimit = 30;

class SystemTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Paths outside the sandbox.
    std::string Root;       // ROOT
    std::string FleetDir;   // ROOT/fleet
    std::string CatalogDir; // ROOT/opt/orvan/nic_fw/nx2 (no trailing slash)
    std::string LogDir;     // ROOT/varopt/orvan
    std::string LogPath;    // ROOT/varopt/orvan/nicfwupg.log
    std::string TracePath;  // ROOT/trace

    // Written into the fleet before every run; trace is always on.
    sim::LibrarySpec Library;
    // Written into ROOT/usrsbin before every run.
    StandIns Tools;

    // An adapter that passes discovery: index picks its MAC (02A0B0C0D0xx),
    // handle (100 + index), ids, names, interface eth<index> and NVRAM file.
    // Boot code 1.9.6, option ROM version 8.3.5.
    static sim::AdapterSpec MakeAdapter(int index, sim::OptionRom rom = sim::OptionRom::Pxe);
    static sim::NvramSpec MakeNvram(int index, sim::OptionRom rom = sim::OptionRom::Pxe);
    // Writes the adapter file, named adapterNN.conf in call order unless
    // FileName is set. Its NVRAM image is written separately (AddNvram).
    void AddAdapter(sim::AdapterSpec spec);
    // MakeAdapter + an NVRAM image built from MakeNvram, in one step.
    sim::AdapterSpec AddStandardAdapter(int index, sim::OptionRom rom = sim::OptionRom::Pxe);
    // Writes an NVRAM image file into the fleet; returns its file name.
    std::string AddNvram(const std::string& name, const std::vector<uint8_t>& bytes);

    // Catalog: kind is "bootcode", "pxe" or "clp".
    void WriteCatalogFile(const std::string& kind, const std::string& text);
    void WriteCatalogImage(const std::string& kind, const std::string& name,
                           const std::vector<uint8_t>& bytes);

    // The log directory /var/opt/orvan/ is absent for this test's runs.
    void RemoveLogDirectory();
    // Puts a log file in place before the run.
    void WriteLog(const std::string& text);

    // Runs tidemark with args; fails the test visibly on a sanitizer report
    // or when the program did not exit normally.
    RunResult Run(const std::vector<std::string>& args, const RunOptions& options = {});
    // Same with standard input from a text.
    RunResult RunWithInput(const std::vector<std::string>& args, const std::string& input);
    // Run in two steps, for runs that overlap or are signalled: Start
    // returns once the program runs; Finish reads its output and waits for
    // it, which must end by expectedSignal (0: by exiting).
    StartedRun Start(const std::vector<std::string>& args, const RunOptions& options = {});
    RunResult Finish(StartedRun& run, int expectedSignal = 0);
    // The console goes away: the program's standard output has no reader.
    static void CloseConsole(StartedRun& run);

    // Polls until done() holds, at most StandInWaitLimit seconds; false
    // when it never did.
    static bool WaitUntil(const std::function<bool()>& done);
    bool WaitForFile(const std::string& path) const;
    std::string ToolStartedPath() const { return Root + "/wrenflash.started"; }
    std::string ToolGoPath() const { return Root + "/wrenflash.go"; }
    std::string PauseHeldPath() const { return Root + "/pause.held"; }
    // Lets every waiting flashing tool run, and later ones pass at once.
    void ReleaseTool() const;

    // Removes the log file, ROOT/trace and the library trace, so that the
    // next run's records stand alone.
    void ClearRecords();

    bool LogExists() const;
    std::string Log() const;
    // Lines of ROOT/trace and of the library's call trace, without line ends.
    std::vector<std::string> Trace() const;
    std::vector<std::string> BmapiTrace() const;
    // Lines of the library trace that start with the call name.
    std::vector<std::string> BmapiCalls(const std::string& name) const;
    size_t CountBmapiCalls(const std::string& name) const;
    // The argument vectors the recording flashing tool received, one per run.
    std::vector<std::vector<std::string>> FlashToolArguments() const;

private:
    // seenRoot: ROOT as the program sees it (where the stand-ins record).
    void WriteStandIns(const std::string& seenRoot);
    int nextAdapterFile_ = 0;
};

// Reads a whole file; empty when it cannot be read.
std::string ReadText(const std::string& path);
std::vector<std::string> SplitLines(const std::string& text);
// True when root: tests that change user ids need real root.
bool RunningAsRoot();
// True for a sanitizer build of tidemark. Its runtime cannot read its
// options nor check for leaks in a process whose effective user id is not
// root and differs from the real one (such a process is not dumpable).
bool SanitizedBinary();

} // namespace systest
