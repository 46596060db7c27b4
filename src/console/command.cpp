#include "console/command.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>

#include "console/output.h"

namespace {

constexpr char ShellPath[] = "/bin/sh";
constexpr int NoShell = 255;
constexpr int ShellNotExecuted = 127; // what a shell that cannot run reports
// How often the relay looks whether the command has ended while something it
// left behind keeps its output open.
constexpr int EndCheckMilliseconds = 200;
constexpr int MaxDrainReads = 16;

int inheritedFd = -1;

// In the child, where only async-signal-safe calls may be made.
void ResetSignals()
{
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int sig = 1; sig < NSIG; ++sig)
        sigaction(sig, &action, nullptr); // fails harmlessly for KILL and STOP
    // Once tidemark is gone nobody reads the relayed output: a write then
    // fails instead of ending the flashing tool halfway through an image.
    action.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &action, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

void PlaceAt(int fd, int target)
{
    if (fd == target)
        fcntl(fd, F_SETFD, 0);
    else
        dup2(fd, target);
}

[[noreturn]] void ExecShell(const char* commandLine, int outFd, int errFd)
{
    // Signals sent to tidemark's process group no longer reach it.
    setpgid(0, 0);
    ResetSignals();
    const int input = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (input >= 0)
        PlaceAt(input, 0);
    PlaceAt(outFd, 1);
    PlaceAt(errFd, 2);
    close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    if (inheritedFd > 2)
        fcntl(inheritedFd, F_SETFD, 0);
    execl(ShellPath, "sh", "-c", commandLine, static_cast<char*>(nullptr));
    _exit(ShellNotExecuted);
}

// A console that is gone does not stop the command: what it cannot take is
// dropped.
void WriteAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        data += n;
        size -= static_cast<size_t>(n);
    }
}

// False at the end of the command's output on fd.
bool CopyOnce(int fd, int target)
{
    std::array<char, 65536> buffer;
    const ssize_t n = read(fd, buffer.data(), buffer.size());
    if (n < 0)
        return errno == EINTR;
    if (n == 0)
        return false;
    WriteAll(target, buffer.data(), static_cast<size_t>(n));
    return true;
}

void CloseBoth(const std::array<int, 2>& fds)
{
    close(fds[0]);
    close(fds[1]);
}

bool Reaped(pid_t pid, int& status)
{
    pid_t done;
    while ((done = waitpid(pid, &status, WNOHANG)) < 0 && errno == EINTR) {
    }
    return done == pid;
}

void CopyReady(std::array<pollfd, 2>& polled)
{
    for (size_t i = 0; i < polled.size(); ++i) {
        pollfd& p = polled[i];
        if (p.fd < 0 || p.revents == 0 || CopyOnce(p.fd, static_cast<int>(i) + 1))
            continue;
        close(p.fd);
        p.fd = -1;
    }
}

// Copies the command's standard output and error to tidemark's until it has
// ended and they are drained. Something the command left running may hold
// them open and write on: after the end only a bounded number of reads.
// True when the command has been waited for.
bool RelayOutput(pid_t pid, const std::array<int, 2>& fds, int& status)
{
    std::array<pollfd, 2> polled{{{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}}};
    bool ended = false;
    for (int drains = 0; (polled[0].fd >= 0 || polled[1].fd >= 0) && drains < MaxDrainReads;) {
        const int ready = poll(polled.data(), polled.size(), ended ? 0 : EndCheckMilliseconds);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0 || (ended && ready == 0))
            break;
        CopyReady(polled);
        if (ended)
            ++drains;
        else
            ended = Reaped(pid, status);
    }
    for (const pollfd& p : polled)
        if (p.fd >= 0)
            close(p.fd);
    return ended;
}

// Two pipes for the command's standard output and error; false, with
// nothing open, when they cannot be had: the command then writes to the
// console itself.
bool OpenRelay(std::array<int, 2>& out, std::array<int, 2>& err)
{
    if (pipe2(out.data(), O_CLOEXEC) != 0)
        return false;
    if (pipe2(err.data(), O_CLOEXEC) == 0)
        return true;
    CloseBoth(out);
    return false;
}

int ExitCode(int status)
{
    if (WIFSIGNALED(status))
        return (128 + WTERMSIG(status)) & 0xFF;
    return WEXITSTATUS(status);
}

} // namespace

void InheritInCommands(int fd) { inheritedFd = fd; }

int RunCommand(const char* commandLine)
{
    // What was printed so far must stand before what the command prints.
    std::fflush(stdout);
    std::fflush(stderr);
    // An inherited SIG_IGN would have the kernel reap the shell unseen.
    signal(SIGCHLD, SIG_DFL);
    std::array<int, 2> out{}, err{};
    const bool relayed = OpenRelay(out, err);
    const pid_t pid = fork();
    if (pid == 0)
        ExecShell(commandLine, relayed ? out[1] : 1, relayed ? err[1] : 2);
    // Also here, so that the group exists before anything signals it.
    if (pid > 0)
        setpgid(pid, pid);
    int status = 0;
    bool waited = false;
    if (relayed) {
        close(out[1]);
        close(err[1]);
        if (pid > 0)
            waited = RelayOutput(pid, {out[0], err[0]}, status);
        else
            CloseBoth({out[0], err[0]});
    }
    if (pid < 0)
        return NoShell;
    while (!waited && waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return NoShell;
    }
    return ExitCode(status);
}
