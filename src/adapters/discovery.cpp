#include "adapters/discovery.h"

#include "adapters/bmapi.h"
#include "adapters/records.h"
#include "console/allocation.h"
#include "main/run_state.h"

namespace {

constexpr int DiscoveryFailed = 2;

bool IsSupported(const PhyNic& nic)
{
    return (nic.NicFlags & NicFlagNotTaken) == 0 && nic.NicType == NicTypeSupported &&
           nic.DeviceId != UnsupportedDeviceId;
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

    // A RecordVersion of 0 marks an adapter whose library calls failed.
    uint32_t taken = 0;
    for (uint32_t i = 0; i < count; ++i) {
        PhyNic& nic = phyNics[i];
        nic.RecordVersion = PhyNicRecordVersion;
        if (BmapiGetPhyNic(handles[i], &nic) != 0) {
            nic.RecordVersion = 0;
            continue;
        }
        if (!IsSupported(nic))
            continue;
        nicInfos[i].RecordVersion = NicInfoRecordVersion;
        if (BmapiGetBRCMNicInfoEx(handles[i], &nicInfos[i]) != 0)
            nic.RecordVersion = 0;
        else
            ++taken;
    }
    if (taken == 0)
        return DiscoveryFailed;

    auto* adapters = static_cast<AdapterInfo*>(AllocateZeroed(taken, sizeof(AdapterInfo)));
    if (adapters == nullptr)
        return DiscoveryFailed;
    uint32_t next = 0;
    for (uint32_t i = 0; i < count && next < taken; ++i) {
        if (phyNics[i].RecordVersion != 0 && IsSupported(phyNics[i]))
            adapters[next++].Nic = phyNics[i];
    }
    gRun.Adapters = adapters;
    gRun.AdapterCount = next;
    return 0;
}
