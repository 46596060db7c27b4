#include "upgrade/run_lock.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "console/command.h"

namespace {

// Kept open, and so locked, until the process exits.
int heldFd = -1;

constexpr size_t RecordSize = 64;

struct flock WholeFile(short type)
{
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    return lock; // start 0, length 0: the whole file; pid 0, as OFD locks need
}

// A descriptor kept to the end must not take the place of a closed standard
// stream, where a later read of the answers or a write of the console would
// meet the lock file.
int AboveStandardStreams(int fd)
{
    if (fd < 0 || fd > STDERR_FILENO)
        return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const int error = errno;
    close(fd);
    errno = error;
    return moved;
}

LockReport Failure(int error)
{
    LockReport report;
    report.Error = error;
    return report;
}

// The holder as it recorded itself: "PID PROGRAM\n". The program name is
// shown on the console, so only printable characters of it are kept.
LockReport HeldBy(int fd)
{
    LockReport report;
    report.State = LockState::Held;
    std::array<char, RecordSize + 1> record{};
    const ssize_t n = pread(fd, record.data(), RecordSize, 0);
    if (n <= 0)
        return report;
    char* end = nullptr;
    const long pid = std::strtol(record.data(), &end, 10);
    if (end == record.data() || pid <= 0 || *end != ' ')
        return report;
    report.HolderPid = static_cast<pid_t>(pid);
    for (const char* c = end + 1; *c != '\0' && *c != '\n'; ++c)
        report.HolderProgram += (*c > ' ' && *c < 0x7F) ? *c : '?';
    report.HolderRunning = kill(report.HolderPid, 0) == 0 || errno == EPERM;
    return report;
}

void RecordHolder(int fd, std::string_view program)
{
    std::string record = std::to_string(getpid()) + ' ';
    record += program.substr(0, RecordSize - record.size() - 1);
    record += '\n';
    // The lock holds without the record; only a refusal's text lacks it.
    if (ftruncate(fd, 0) != 0)
        return;
    [[maybe_unused]] const ssize_t written = pwrite(fd, record.data(), record.size(), 0);
}

} // namespace

LockReport TakeRunLock(std::string_view program)
{
    LockReport report;
    report.State = LockState::Taken;
    if (heldFd >= 0)
        return report;
    // Not through a link: /run is root's, but a link placed there must not
    // make the run create or lock some other file.
    const int fd = AboveStandardStreams(open(RunLockPath, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd < 0)
        return Failure(errno);
    struct flock lock = WholeFile(F_WRLCK);
    if (fcntl(fd, F_OFD_SETLK, &lock) != 0) {
        const int error = errno;
        report = (error == EAGAIN || error == EACCES) ? HeldBy(fd) : Failure(error);
        close(fd);
        return report;
    }
    heldFd = fd;
    RecordHolder(fd, program);
    // Close-on-exec stays set: only the commands' own processes get it.
    InheritInCommands(fd);
    return report;
}

LockReport CheckRunLock()
{
    const int fd = open(RunLockPath, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT)
            return Failure(errno);
        LockReport report;
        report.State = LockState::Free;
        return report;
    }
    struct flock lock = WholeFile(F_WRLCK);
    LockReport report;
    if (fcntl(fd, F_OFD_GETLK, &lock) != 0)
        report = Failure(errno);
    else if (lock.l_type != F_UNLCK)
        report = HeldBy(fd);
    else
        report.State = LockState::Free;
    close(fd);
    return report;
}

std::string DescribeRunLock(const LockReport& report)
{
    const std::string lock = std::string("the lock ") + RunLockPath;
    if (report.State == LockState::Failed)
        return lock + " cannot be used: " + std::strerror(report.Error);
    if (report.State != LockState::Held)
        return lock + " is free";
    if (report.HolderPid == 0)
        return lock + " is held by a process that has not recorded its pid";
    const std::string holder =
        (report.HolderProgram.empty() ? std::string("a process") : report.HolderProgram) + " (pid " +
        std::to_string(report.HolderPid);
    if (report.HolderRunning)
        return lock + " is held by " + holder + ")";
    return lock + " is held by a command that " + holder + ", no longer running) started";
}
