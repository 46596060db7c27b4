#include "adapters/discovery.h"

#include "console/allocation.h"
#include "state/bmapi.h"
#include "state/records.h"
#include "state/run_state.h"

namespace {

constexpr int DiscoveryFailed = 2;

bool IsSupported(const PhyNic& nic)
{
    return (nic.NicFlags & NicFlagNotTaken) == 0 && nic.NicType == NicTypeSupported &&
           nic.DeviceId != UnsupportedDeviceId;
}

// Reads the adapter's records; false when a library call failed or the
// adapter is not one the system supports.
bool TakeAdapter(uint32_t handle, PhyNic& nic, NicInfo& nicInfo)
{
    nic.RecordVersion = PhyNicRecordVersion;
    if (BmapiGetPhyNic(handle, &nic) != 0 || !IsSupported(nic))
        return false;
    nicInfo.RecordVersion = NicInfoRecordVersion;
    return BmapiGetBRCMNicInfoEx(handle, &nicInfo) == 0;
}

} // namespace

int DiscoverAdapters()
{
    gRun.AdapterCount = 0;
    gRun.Adapters = nullptr;

    uint32_t count = 0;
    if (BmapiGetNumPhyNicEx(&count) != 0)
        return DiscoveryFailed;
    if (count == 0)
        return 0;

    auto handles = AllocateOwnedArray<uint32_t>(count);
    auto phyNics = AllocateOwnedArray<PhyNic>(count);
    auto nicInfos = AllocateOwnedArray<NicInfo>(count);
    if (!handles || !phyNics || !nicInfos)
        return DiscoveryFailed;
    if (BmapiGetAllPhyNicHandles(handles.get(), count) != 0)
        return DiscoveryFailed;

    // The adapters taken move to the front, in handle order.
    uint32_t taken = 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (!TakeAdapter(handles[i], phyNics[i], nicInfos[i]))
            continue;
        if (taken != i)
            phyNics[taken] = phyNics[i];
        ++taken;
    }
    if (taken == 0)
        return DiscoveryFailed;

    auto* adapters = static_cast<AdapterInfo*>(AllocateZeroed(taken, sizeof(AdapterInfo)));
    if (adapters == nullptr)
        return DiscoveryFailed;
    for (uint32_t i = 0; i < taken; ++i)
        adapters[i].Nic = phyNics[i];
    gRun.Adapters = adapters;
    gRun.AdapterCount = taken;
    return 0;
}
