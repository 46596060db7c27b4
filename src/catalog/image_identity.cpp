#include "catalog/image_identity.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <tuple>

namespace {

constexpr size_t ReadBlock = size_t{64} * 1024;
// File times move in clock ticks: a file changed this recently may change
// again without its times moving, so it is not trusted to its status.
constexpr long long SettledSeconds = 2;

// What tells that a file was not written since it was hashed: any write
// moves the change time, which no user can set back.
struct FileStatus {
    dev_t Device;
    ino_t Inode;
    off_t Size;
    long long ModifiedSeconds, ModifiedNanos, ChangedSeconds, ChangedNanos;
    bool operator==(const FileStatus&) const = default;
};

FileStatus StatusOf(const struct stat& info)
{
    return {info.st_dev,          info.st_ino,         info.st_size,        info.st_mtim.tv_sec,
            info.st_mtim.tv_nsec, info.st_ctim.tv_sec, info.st_ctim.tv_nsec};
}

struct Hashed {
    FileStatus Status;
    ImageIdentity Identity;
};
// One entry per path identified in this run.
std::map<std::string, Hashed>& HashedFiles()
{
    static std::map<std::string, Hashed> files;
    return files;
}

struct FdCloser {
    int Fd;
    ~FdCloser()
    {
        if (Fd >= 0)
            close(Fd);
    }
};

struct DigestFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

// Hashes the open file to its end; false on a read error.
bool HashFile(int fd, ImageIdentity& identity)
{
    std::unique_ptr<EVP_MD_CTX, DigestFree> context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1)
        return false;
    std::array<unsigned char, ReadBlock> block{};
    uint64_t size = 0;
    for (;;) {
        const ssize_t n = read(fd, block.data(), block.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        size += static_cast<uint64_t>(n);
        if (EVP_DigestUpdate(context.get(), block.data(), static_cast<size_t>(n)) != 1)
            return false;
    }
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), identity.Sha256.data(), &length) != 1 ||
        length != identity.Sha256.size())
        return false;
    identity.Size = size;
    identity.Known = true;
    return true;
}

} // namespace

ImageIdentity IdentifyImageFile(const char* path)
{
    ImageIdentity identity{};
    // Non-blocking, so that a FIFO named as an image cannot hold the run.
    FdCloser file{open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
    struct stat info {};
    if (file.Fd < 0 || fstat(file.Fd, &info) != 0 || !S_ISREG(info.st_mode))
        return identity;
    const FileStatus status = StatusOf(info);
    auto& files = HashedFiles();
    if (auto found = files.find(path); found != files.end() && found->second.Status == status)
        return found->second.Identity;
    if (!HashFile(file.Fd, identity))
        return ImageIdentity{};
    // A file written while it was hashed, or too recently, is hashed again next time.
    struct stat after {};
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    if (fstat(file.Fd, &after) == 0 && StatusOf(after) == status &&
        identity.Size == static_cast<uint64_t>(info.st_size) &&
        status.ChangedSeconds + SettledSeconds <= static_cast<long long>(now.tv_sec))
        files[path] = Hashed{status, identity};
    return identity;
}

std::string Sha256Hex(const ImageIdentity& identity)
{
    constexpr char Digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(identity.Sha256.size() * 2);
    for (uint8_t byte : identity.Sha256) {
        hex += Digits[byte >> 4];
        hex += Digits[byte & 0xF];
    }
    return hex;
}
