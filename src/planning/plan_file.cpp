#include "planning/plan_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "planning/plan_document.h"

namespace {

std::string SystemError(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

struct Descriptor {
    int Fd = -1;
    ~Descriptor()
    {
        if (Fd >= 0)
            close(Fd);
    }
};

bool WriteAll(int fd, const std::string& bytes)
{
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string FolderOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// An existing path must be a regular file: a link would be replaced rather
// than followed, anything else is not a plan's place.
bool CheckTarget(const std::string& path, std::string& reason)
{
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) {
        if (errno == ENOENT)
            return true;
        reason = SystemError("cannot look at it");
        return false;
    }
    if (S_ISLNK(info.st_mode))
        reason = "it is a symbolic link";
    else if (!S_ISREG(info.st_mode))
        reason = "it is not a regular file";
    return reason.empty();
}

// The new file, complete and on disk, under its temporary name.
bool WriteTemporary(int fd, const std::string& document, mode_t mode, std::string& reason)
{
    if (fchmod(fd, mode) != 0)
        reason = SystemError("cannot set its mode");
    else if (!WriteAll(fd, document))
        reason = SystemError("cannot write it");
    else if (fsync(fd) != 0)
        reason = SystemError("cannot sync it");
    return reason.empty();
}

} // namespace

bool WritePlanFile(const std::string& path, const std::string& document, std::string& reason)
{
    return WriteFileAtomically(path, document, 0600, reason);
}

bool WriteFileAtomically(const std::string& path, const std::string& document, mode_t mode,
                         std::string& reason)
{
    reason.clear();
    if (path.empty() || path.back() == '/') {
        reason = "it is not a file name";
        return false;
    }
    if (!CheckTarget(path, reason))
        return false;
    const std::string folder = FolderOf(path);
    std::string temporary = folder + "/.tidemark-plan.XXXXXX";
    Descriptor file{mkostemp(temporary.data(), O_CLOEXEC)};
    if (file.Fd < 0) {
        reason = SystemError("cannot create a file beside it");
        return false;
    }
    if (!WriteTemporary(file.Fd, document, mode, reason) || close(std::exchange(file.Fd, -1)) != 0 ||
        rename(temporary.c_str(), path.c_str()) != 0) {
        if (reason.empty())
            reason = SystemError("cannot put it in place");
        unlink(temporary.c_str());
        return false;
    }
    // The rename reaches the disk with its folder (where folders can be synced).
    Descriptor dir{open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (dir.Fd < 0 || (fsync(dir.Fd) != 0 && errno != EINVAL)) {
        reason = SystemError("cannot sync its folder");
        return false;
    }
    return true;
}

bool ReadPlanFile(const std::string& path, Plan& plan, std::string& reason)
{
    // Looked at before it is opened, since opening a device can have
    // effects; non-blocking, so that a FIFO put in its place meanwhile
    // cannot hold the run.
    struct stat info {};
    if (stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
        reason = "the plan is not a regular file";
        return false;
    }
    Descriptor file{open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)};
    if (file.Fd < 0 || fstat(file.Fd, &info) != 0) {
        reason = SystemError("cannot open the plan");
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        reason = "the plan is not a regular file";
        return false;
    }
    // Up to one byte more than allowed, which tells a file that is too
    // large, also one that grew since its status was taken.
    std::string text;
    std::vector<char> block(size_t{64} * 1024);
    while (text.size() <= PlanDocumentMaximum) {
        const ssize_t n = read(file.Fd, block.data(), block.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            reason = SystemError("cannot read the plan");
            return false;
        }
        if (n == 0)
            break;
        text.append(block.data(), static_cast<size_t>(n));
    }
    return ReadPlanDocument(text, plan, reason);
}
