// The plan's names and counts. Kept apart from taking the plan, so that what
// only writes or reads documents does not pull in the adapter library.
#include <array>

#include "planning/plan.h"

namespace {

struct KindNames {
    const char* Label;
    const char* Key;
};
constexpr std::array<KindNames, 3> KindNameTable = {{
    {"boot code", "boot_code"},
    {"PXE", "pxe"},
    {"CLP", "clp"},
}};
static_assert(static_cast<size_t>(ImageKind::BootCode) == 0 && static_cast<size_t>(ImageKind::Pxe) == 1 &&
              static_cast<size_t>(ImageKind::Clp) == 2);

struct StateNames {
    const char* Key;
    const char* Words;
};
constexpr std::array<StateNames, 4> StateNameTable = {{
    {"present", "is present"},
    {"missing", "is missing"},
    {"unreadable", "cannot be read"},
    {"not-regular", "is not a regular file"},
}};
static_assert(static_cast<size_t>(CatalogState::NotRegular) == 3);

} // namespace

size_t Plan::WriteCount() const
{
    size_t count = 0;
    for (const AdapterPlan& adapter : Adapters)
        count += adapter.Writes.size();
    return count;
}

const char* KindLabel(ImageKind kind) { return KindNameTable[static_cast<size_t>(kind)].Label; }
const char* KindKey(ImageKind kind) { return KindNameTable[static_cast<size_t>(kind)].Key; }
const char* CatalogStateKey(CatalogState state) { return StateNameTable[static_cast<size_t>(state)].Key; }
const char* CatalogStateWords(CatalogState state) { return StateNameTable[static_cast<size_t>(state)].Words; }

std::string VersionText(const FirmwareVersion& version)
{
    return std::to_string(version.Major) + "." + std::to_string(version.Minor) + "." +
           std::to_string(version.Build);
}
