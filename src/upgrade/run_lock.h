// The run lock: one upgrade at a time on a server. An exclusive open file
// description lock on a file that only root can create; the commands a run
// starts inherit it, so a flashing tool that outlives a killed run still
// holds it until it exits. The kernel drops it when its last holder ends.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

inline constexpr char RunLockPath[] = "/run/tidemark.lock";

enum class LockState {
    Free,   // CheckRunLock: nobody holds it
    Taken,  // TakeRunLock: this process holds it until it exits
    Held,   // another run (or a command it started) holds it
    Failed, // the lock file could not be opened or locked; Error says why
};

struct LockReport {
    LockState State = LockState::Failed;
    // Held: what the holder recorded in the file. Pid 0 when it recorded
    // nothing (yet); HolderRunning false when that process has ended and a
    // command it started holds the lock.
    pid_t HolderPid = 0;
    std::string HolderProgram;
    bool HolderRunning = false;
    int Error = 0; // Failed: the errno of the step that failed
};

// Takes the lock for this process and records its pid and program name in
// the file. Every command run after it inherits the lock.
LockReport TakeRunLock(std::string_view program);

// Whether another process holds the lock, without taking it or creating the
// file. Free also when the file does not exist.
LockReport CheckRunLock();

// "the lock /run/tidemark.lock is held by tidemark (pid 4242)" for Held,
// why the lock cannot be used for Failed; no line end.
std::string DescribeRunLock(const LockReport& report);
