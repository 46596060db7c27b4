// Substitute adapter library: serves the adapters of a fleet directory
// (BMAPI_SIM_DIR) or, without one, the built-in demo fleet.

#include "state/bmapi.h"
#include "exports/exports.h"
#include "fleet.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Own failure codes.
constexpr uint32_t StatusNotInitialized = 0x01;
constexpr uint32_t StatusBadArgument = 0x02;
constexpr uint32_t StatusUnknownHandle = 0x03;
constexpr uint32_t StatusBadRecordVersion = 0x04;
constexpr uint32_t StatusBufferTooSmall = 0x05;
constexpr uint32_t StatusNotInDiag = 0x06;
constexpr uint32_t StatusBadKey = 0x07;
constexpr uint32_t StatusOutOfRange = 0x08;
constexpr uint32_t StatusNoNvram = 0x09;
constexpr uint32_t StatusBadExports = 0x0A;
constexpr uint32_t StatusNoFleet = 0x0B;
constexpr uint32_t StatusInjectedRead = 0x20;

struct SimAdapter {
    sim::AdapterSpec Spec;
    uint32_t Handle = 0;
    std::vector<uint8_t> Nvram;
    bool InDiag = false;
};

struct LibraryState {
    bool Initialized = false;
    std::string Dir; // empty: the built-in demo fleet
    sim::LibrarySpec Library;
    std::vector<SimAdapter> Adapters;
};

LibraryState gLib;

std::string FleetDir()
{
    const char* dir = std::getenv("BMAPI_SIM_DIR");
    return dir != nullptr ? std::string(dir) : std::string();
}

// The library settings: those read at initialisation while open, else the
// file as it is now (version and trace may be asked for before opening).
sim::LibrarySpec CurrentLibrary()
{
    if (gLib.Initialized)
        return gLib.Library;
    sim::LibrarySpec spec;
    std::string dir = FleetDir();
    if (!dir.empty() && !sim::ReadLibrary(dir, spec))
        spec = sim::LibrarySpec();
    return spec;
}

void Trace(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Trace(const char* format, ...)
{
    std::string dir = gLib.Initialized ? gLib.Dir : FleetDir();
    if (dir.empty() || !CurrentLibrary().Trace)
        return;
    FILE* f = std::fopen((dir + "/bmapi.trace").c_str(), "a");
    if (f == nullptr)
        return;
    va_list args;
    va_start(args, format);
    std::vfprintf(f, format, args);
    va_end(args);
    std::fputc('\n', f);
    std::fclose(f);
}

// The functions the executable exports must be there and right.
bool ExportsWork()
{
    static const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    return SwapByteU16(0x1234) == 0x3412 && SwapByteU32(0x12345678) == 0x78563412 &&
           T3ComputeCrc32(digits, sizeof digits, 0xFFFFFFFF) == 0x340BC6D9 &&
           FlashPhysicalToLogicalAddress(0x200) == 0x108;
}

// At most size bytes: a text as long as the field gets no NUL.
void CopyText(char* field, size_t size, const std::string& text)
{
    // Bytes, not a string: the field need not end in a NUL.
    std::memset(field, 0, size);
    std::copy_n(text.data(), std::min(text.size(), size), field);
}

SimAdapter* FindAdapter(uint32_t handle)
{
    for (SimAdapter& a : gLib.Adapters) {
        if (a.Handle == handle)
            return &a;
    }
    return nullptr;
}

// The common start of a per-adapter call: trace "CALL HANDLE" (a call with
// more to trace passes nullptr and traces itself), find the adapter, then
// the status the fleet injects for the call, if any.
uint32_t BeginAdapterCall(const char* call, uint32_t handle, uint32_t sim::AdapterSpec::*injected,
                          SimAdapter*& adapter)
{
    if (call != nullptr)
        Trace("%s %u", call, handle);
    if (!gLib.Initialized)
        return StatusNotInitialized;
    adapter = FindAdapter(handle);
    if (adapter == nullptr)
        return StatusUnknownHandle;
    return injected != nullptr ? adapter->Spec.*injected : 0;
}

// A per-adapter call that fills a record: after the common start, the record
// must be there with the expected version; it is then cleared but for it.
template <typename Record> uint32_t BeginRecordCall(const char* call, uint32_t handle,
                                                    uint32_t sim::AdapterSpec::*injected, Record* record,
                                                    uint32_t recordVersion, SimAdapter*& adapter)
{
    if (uint32_t status = BeginAdapterCall(call, handle, injected, adapter); status != 0)
        return status;
    if (record == nullptr)
        return StatusBadArgument;
    if (record->RecordVersion != recordVersion)
        return StatusBadRecordVersion;
    std::memset(record, 0, sizeof *record);
    record->RecordVersion = recordVersion;
    return 0;
}

uint32_t LoadFleet()
{
    gLib.Adapters.clear();
    gLib.Dir = FleetDir();
    std::vector<sim::AdapterSpec> specs;
    if (gLib.Dir.empty()) {
        gLib.Library = sim::LibrarySpec();
        specs = sim::DemoAdapters();
    } else if (!sim::ReadLibrary(gLib.Dir, gLib.Library) || !sim::ReadAdapters(gLib.Dir, specs)) {
        return StatusNoFleet;
    }
    for (size_t i = 0; i < specs.size(); ++i) {
        SimAdapter a;
        a.Spec = std::move(specs[i]);
        a.Handle = a.Spec.Handle != 0 ? a.Spec.Handle : uint32_t(i + 1);
        if (gLib.Dir.empty())
            a.Nvram = sim::DemoNvram(i);
        else if (!a.Spec.NvramFile.empty() && !sim::ReadFile(gLib.Dir + "/" + a.Spec.NvramFile, a.Nvram))
            a.Nvram.clear(); // served as an adapter without NVRAM
        gLib.Adapters.push_back(std::move(a));
    }
    return 0;
}

} // namespace

extern "C" {

uint32_t BmapiGetVersion(uint32_t* major, uint32_t* minor, uint32_t* build)
{
    Trace("BmapiGetVersion");
    if (major == nullptr || minor == nullptr || build == nullptr)
        return StatusBadArgument;
    sim::LibrarySpec spec = CurrentLibrary();
    *major = spec.Major;
    *minor = spec.Minor;
    *build = spec.Build;
    return 0;
}

uint32_t BmapiInitializeEx(uint32_t mode)
{
    gLib.Initialized = false;
    Trace("BmapiInitializeEx %u", mode);
    if (!ExportsWork())
        return StatusBadExports;
    sim::LibrarySpec spec = CurrentLibrary();
    if (spec.InitializeStatus != 0)
        return spec.InitializeStatus;
    if (uint32_t status = LoadFleet(); status != 0)
        return status;
    gLib.Initialized = true;
    return 0;
}

uint32_t BmapiGetNumPhyNicEx(uint32_t* count)
{
    Trace("BmapiGetNumPhyNicEx");
    if (!gLib.Initialized)
        return StatusNotInitialized;
    if (gLib.Library.CountStatus != 0)
        return gLib.Library.CountStatus;
    if (count == nullptr)
        return StatusBadArgument;
    *count = uint32_t(gLib.Adapters.size());
    return 0;
}

uint32_t BmapiGetAllPhyNicHandles(uint32_t* handles, uint32_t count)
{
    Trace("BmapiGetAllPhyNicHandles %u", count);
    if (!gLib.Initialized)
        return StatusNotInitialized;
    if (gLib.Library.HandlesStatus != 0)
        return gLib.Library.HandlesStatus;
    if (handles == nullptr && count != 0)
        return StatusBadArgument;
    if (count < gLib.Adapters.size())
        return StatusBufferTooSmall;
    for (uint32_t i = 0; i < count; ++i)
        handles[i] = i < gLib.Adapters.size() ? gLib.Adapters[i].Handle : 0;
    return 0;
}

uint32_t BmapiGetPhyNic(uint32_t handle, PhyNic* phyNic)
{
    SimAdapter* a = nullptr;
    if (uint32_t status = BeginRecordCall("BmapiGetPhyNic", handle, &sim::AdapterSpec::PhyNicStatus, phyNic,
                                          PhyNicRecordVersion, a);
        status != 0)
        return status;
    phyNic->NicFlags = a->Spec.NicFlags;
    phyNic->NicType = a->Spec.NicType;
    phyNic->Handle = a->Handle;
    CopyText(phyNic->Description, sizeof phyNic->Description, a->Spec.Description);
    CopyText(phyNic->Name, sizeof phyNic->Name, a->Spec.Name);
    CopyText(phyNic->MacText, sizeof phyNic->MacText, a->Spec.Mac);
    phyNic->VendorId = a->Spec.VendorId;
    phyNic->DeviceId = a->Spec.DeviceId;
    phyNic->SubsystemVendorId = a->Spec.SubsystemVendorId;
    phyNic->SubsystemId = a->Spec.SubsystemId;
    return 0;
}

uint32_t BmapiGetBRCMNicInfoEx(uint32_t handle, NicInfo* nicInfo)
{
    SimAdapter* a = nullptr;
    return BeginRecordCall("BmapiGetBRCMNicInfoEx", handle, &sim::AdapterSpec::NicInfoStatus, nicInfo,
                           NicInfoRecordVersion, a);
}

uint32_t BmapiGet5706FwInfo(uint32_t handle, FwInfo* fwInfo)
{
    SimAdapter* a = nullptr;
    if (uint32_t status = BeginRecordCall("BmapiGet5706FwInfo", handle, &sim::AdapterSpec::FwInfoStatus,
                                          fwInfo, FwInfoRecordVersion, a);
        status != 0)
        return status;
    CopyText(fwInfo->BootCodeVersionText, sizeof fwInfo->BootCodeVersionText,
             a->Spec.HasBootCodeText ? a->Spec.BootCodeText : sim::BootCodeTextOf(a->Nvram));
    CopyText(fwInfo->OptionRomVersionText, sizeof fwInfo->OptionRomVersionText,
             a->Spec.HasOptionRomText ? a->Spec.OptionRomText : sim::OptionRomTextOf(a->Nvram));
    return 0;
}

uint32_t BmapiInitDiag(uint32_t handle)
{
    SimAdapter* a = nullptr;
    if (uint32_t status = BeginAdapterCall("BmapiInitDiag", handle, &sim::AdapterSpec::InitDiagStatus, a);
        status != 0)
        return status;
    a->InDiag = true;
    return 0;
}

uint32_t BmapiReadFirmware(uint32_t handle, uint32_t offset, void* buffer, uint32_t count, const char* key)
{
    Trace("BmapiReadFirmware %u 0x%X %u", handle, offset, count);
    SimAdapter* a = nullptr;
    if (uint32_t status = BeginAdapterCall(nullptr, handle, nullptr, a); status != 0)
        return status;
    if (key == nullptr || std::strcmp(key, AccessKey) != 0)
        return StatusBadKey;
    if (!a->InDiag)
        return StatusNotInDiag;
    if (a->Nvram.empty())
        return StatusNoNvram;
    if (buffer == nullptr && count != 0)
        return StatusBadArgument;
    // 64-bit arithmetic: offset + 4 * count cannot wrap.
    uint64_t begin = offset;
    uint64_t end = begin + 4ull * count;
    if (end > a->Nvram.size())
        return StatusOutOfRange;
    for (uint32_t failAt : a->Spec.ReadFailOffsets) {
        if (failAt >= begin && failAt < end)
            return a->Spec.ReadStatus != 0 ? a->Spec.ReadStatus : StatusInjectedRead;
    }
    if (count != 0)
        std::memcpy(buffer, &a->Nvram[offset], size_t(end - begin));
    return 0;
}

uint32_t BmapiUnInitDiag(uint32_t handle)
{
    SimAdapter* a = nullptr;
    if (uint32_t status = BeginAdapterCall("BmapiUnInitDiag", handle, &sim::AdapterSpec::UnInitDiagStatus, a);
        status != 0)
        return status;
    if (!a->InDiag)
        return StatusNotInDiag;
    a->InDiag = false;
    return 0;
}

uint32_t BmapiUninitialize(void)
{
    Trace("BmapiUninitialize");
    gLib = LibraryState();
    return 0;
}

} // extern "C"
