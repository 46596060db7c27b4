#include "upgrade/backup_name.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

namespace {

constexpr std::string_view BackupSuffix = ".bin";

// Free only when nothing is there: lstat sees dangling links and special
// files too. A name in a folder this user may not search is one that the
// flashing tool, run as the same user, cannot overwrite either (and a plan
// made by another user than the run's shows it as formed). Any other
// failure leaves the name in doubt.
bool FreeOnDisk(const char* name)
{
    struct stat info {};
    return lstat(name, &info) != 0 && (errno == ENOENT || errno == EACCES);
}

bool Free(const std::string& name, const BackupNames& handed)
{
    return std::find(handed.begin(), handed.end(), name) == handed.end() && FreeOnDisk(name.c_str());
}

} // namespace

BackupChoice ChooseBackupName(std::array<char, PathFieldSize>& name, BackupNames& handed)
{
    const std::string formed(name.data());
    if (Free(formed, handed)) {
        handed.push_back(formed);
        return BackupChoice::Formed;
    }
    std::string_view stem(formed);
    if (stem.size() >= BackupSuffix.size() && stem.substr(stem.size() - BackupSuffix.size()) == BackupSuffix)
        stem.remove_suffix(BackupSuffix.size());
    for (int variant = 1; variant <= MaxBackupVariant; ++variant) {
        const std::string candidate =
            std::string(stem) + "-" + std::to_string(variant) + std::string(BackupSuffix);
        if (candidate.size() >= name.size())
            return BackupChoice::NoneFree;
        if (!Free(candidate, handed))
            continue;
        std::memcpy(name.data(), candidate.c_str(), candidate.size() + 1);
        handed.push_back(candidate);
        return BackupChoice::Variant;
    }
    return BackupChoice::NoneFree;
}
