#include "fake_bmapi.h"

#include <cstring>
#include <utility>

#include "fuzz_support.h"

namespace fuzz {
namespace {

constexpr uint32_t UnknownHandle = 0x101;
constexpr uint32_t ReadFailed = 0x20;

struct State {
    FakeLibrary Library;
    std::vector<uint32_t> Reads; // per adapter, reads made so far
    std::vector<bool> InDiag;    // per adapter
    bool Open = false;
    bool Closed = false;
};
State state;

// Handles are adapter numbers from 1.
FakeAdapter* Find(uint32_t handle)
{
    if (handle == 0 || handle > state.Library.Adapters.size())
        return nullptr;
    return &state.Library.Adapters[handle - 1];
}

void RequireOpen() { Expect(state.Open && !state.Closed, "library calls come after a successful open"); }

} // namespace

void LoadFakeLibrary(FakeLibrary library)
{
    const size_t n = library.Adapters.size();
    state = State{std::move(library), std::vector<uint32_t>(n), std::vector<bool>(n), false, false};
}

bool FakeLibraryClosed() { return state.Closed; }

} // namespace fuzz

using fuzz::Expect;
using fuzz::state;

extern "C" {

uint32_t BmapiGetVersion(uint32_t* major, uint32_t* minor, uint32_t* build)
{
    *major = state.Library.Major;
    *minor = state.Library.Minor;
    *build = state.Library.Build;
    return 0;
}

uint32_t BmapiInitializeEx(uint32_t)
{
    Expect(!state.Open, "the library is opened once");
    state.Open = state.Library.InitializeStatus == 0;
    return state.Library.InitializeStatus;
}

uint32_t BmapiGetNumPhyNicEx(uint32_t* count)
{
    fuzz::RequireOpen();
    if (state.Library.CountStatus != 0)
        return state.Library.CountStatus;
    *count = state.Library.ReportedCount;
    return 0;
}

uint32_t BmapiGetAllPhyNicHandles(uint32_t* handles, uint32_t count)
{
    fuzz::RequireOpen();
    Expect(count == state.Library.ReportedCount, "handles are asked for the reported count");
    if (state.Library.HandlesStatus != 0)
        return state.Library.HandlesStatus;
    for (uint32_t i = 0; i < count; ++i)
        handles[i] = i + 1;
    return 0;
}

uint32_t BmapiGetPhyNic(uint32_t handle, PhyNic* phyNic)
{
    fuzz::RequireOpen();
    Expect(phyNic->RecordVersion == PhyNicRecordVersion, "PhyNic carries its record version");
    const fuzz::FakeAdapter* a = fuzz::Find(handle);
    if (a == nullptr)
        return fuzz::UnknownHandle;
    if (a->PhyNicStatus != 0)
        return a->PhyNicStatus;
    *phyNic = a->Nic;
    phyNic->RecordVersion = PhyNicRecordVersion;
    return 0;
}

uint32_t BmapiGetBRCMNicInfoEx(uint32_t handle, NicInfo* nicInfo)
{
    fuzz::RequireOpen();
    Expect(nicInfo->RecordVersion == NicInfoRecordVersion, "NicInfo carries its record version");
    const fuzz::FakeAdapter* a = fuzz::Find(handle);
    if (a == nullptr)
        return fuzz::UnknownHandle;
    std::memset(nicInfo->Reserved, 0xA5, sizeof nicInfo->Reserved);
    return a->NicInfoStatus;
}

uint32_t BmapiGet5706FwInfo(uint32_t handle, FwInfo* fwInfo)
{
    fuzz::RequireOpen();
    Expect(fwInfo->RecordVersion == FwInfoRecordVersion, "FwInfo carries its record version");
    const fuzz::FakeAdapter* a = fuzz::Find(handle);
    if (a == nullptr)
        return fuzz::UnknownHandle;
    if (a->FwInfoStatus != 0)
        return a->FwInfoStatus;
    *fwInfo = a->Fw;
    fwInfo->RecordVersion = FwInfoRecordVersion;
    return 0;
}

uint32_t BmapiInitDiag(uint32_t handle)
{
    fuzz::RequireOpen();
    const fuzz::FakeAdapter* a = fuzz::Find(handle);
    if (a == nullptr)
        return fuzz::UnknownHandle;
    if (a->InitDiagStatus == 0)
        state.InDiag[handle - 1] = true;
    return a->InitDiagStatus;
}

uint32_t BmapiReadFirmware(uint32_t handle, uint32_t offset, void* buffer, uint32_t count, const char* key)
{
    fuzz::RequireOpen();
    Expect(std::strcmp(key, AccessKey) == 0, "every read carries the access key");
    const fuzz::FakeAdapter* a = fuzz::Find(handle);
    if (a == nullptr)
        return fuzz::UnknownHandle;
    Expect(state.InDiag[handle - 1], "NVRAM is read in diagnostic mode");
    if (state.Reads[handle - 1]++ == a->FailingRead)
        return fuzz::ReadFailed;
    auto* out = static_cast<uint8_t*>(buffer);
    for (uint64_t i = 0; i < uint64_t{count} * 4; ++i) {
        const uint64_t at = offset + i;
        out[i] = at < a->Nvram.size() ? a->Nvram[at] : 0;
    }
    return 0;
}

uint32_t BmapiUnInitDiag(uint32_t handle)
{
    fuzz::RequireOpen();
    const fuzz::FakeAdapter* a = fuzz::Find(handle);
    if (a == nullptr)
        return fuzz::UnknownHandle;
    Expect(state.InDiag[handle - 1], "diagnostic mode is left only after it was entered");
    if (a->UnInitDiagStatus == 0)
        state.InDiag[handle - 1] = false;
    return a->UnInitDiagStatus;
}

uint32_t BmapiUninitialize(void)
{
    Expect(!state.Closed, "the library is closed at most once");
    state.Closed = true;
    return 0;
}

} // extern "C"
