// The adapter management library's interface: its calls, the records it
// fills and the key that every NVRAM read carries. The system calls the
// library only through these declarations, so the same executable runs on
// the vendor's library or on the substitute built from sim/.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr uint32_t PhyNicRecordVersion = 6;
inline constexpr uint32_t NicInfoRecordVersion = 6;
inline constexpr uint32_t FwInfoRecordVersion = 1;

inline constexpr uint32_t NicFlagNotTaken = 0x1;
inline constexpr uint32_t NicTypeSupported = 4;
inline constexpr uint32_t UnsupportedDeviceId = 0x4401;

constexpr char AccessKey[] = "{5A1C9E42-7B3D-4F08-9C61-2E8D47A0B5F3}";

// Bytes not listed here belong to the library.
struct PhyNic {
    uint32_t RecordVersion;
    uint32_t NicFlags;
    uint32_t NicType;
    uint32_t Handle;
    char Description[164];
    char Name[148];
    uint8_t Reserved1[20];
    char MacText[13];
    uint8_t Reserved2[99];
    uint32_t VendorId;
    uint32_t DeviceId;
    uint32_t SubsystemVendorId;
    uint32_t SubsystemId;
    uint8_t Reserved3[236];
};
static_assert(sizeof(PhyNic) == 712);
static_assert(offsetof(PhyNic, RecordVersion) == 0);
static_assert(offsetof(PhyNic, NicFlags) == 4);
static_assert(offsetof(PhyNic, NicType) == 8);
static_assert(offsetof(PhyNic, Handle) == 12);
static_assert(offsetof(PhyNic, Description) == 16);
static_assert(offsetof(PhyNic, Name) == 180);
static_assert(offsetof(PhyNic, MacText) == 348);
static_assert(offsetof(PhyNic, VendorId) == 460);
static_assert(offsetof(PhyNic, DeviceId) == 464);
static_assert(offsetof(PhyNic, SubsystemVendorId) == 468);
static_assert(offsetof(PhyNic, SubsystemId) == 472);

struct NicInfo {
    uint32_t RecordVersion;
    uint8_t Reserved[156];
};
static_assert(sizeof(NicInfo) == 160);
static_assert(offsetof(NicInfo, RecordVersion) == 0);

inline constexpr size_t FwInfoTextSize = 32;

struct FwInfo {
    uint32_t RecordVersion;
    char BootCodeVersionText[FwInfoTextSize];
    char OptionRomVersionText[FwInfoTextSize];
};
static_assert(sizeof(FwInfo) == 68);
static_assert(offsetof(FwInfo, RecordVersion) == 0);
static_assert(offsetof(FwInfo, BootCodeVersionText) == 4);
static_assert(offsetof(FwInfo, OptionRomVersionText) == 36);

// Every call returns a status: 0 is success, anything else a failure code.
extern "C" {
uint32_t BmapiGetVersion(uint32_t* major, uint32_t* minor, uint32_t* build);
uint32_t BmapiInitializeEx(uint32_t mode);
uint32_t BmapiGetNumPhyNicEx(uint32_t* count);
uint32_t BmapiGetAllPhyNicHandles(uint32_t* handles, uint32_t count);
uint32_t BmapiGetPhyNic(uint32_t handle, PhyNic* phyNic);
uint32_t BmapiGetBRCMNicInfoEx(uint32_t handle, NicInfo* nicInfo);
uint32_t BmapiGet5706FwInfo(uint32_t handle, FwInfo* fwInfo);
uint32_t BmapiInitDiag(uint32_t handle);
uint32_t BmapiReadFirmware(uint32_t handle, uint32_t offset, void* buffer, uint32_t count, const char* key);
uint32_t BmapiUnInitDiag(uint32_t handle);
uint32_t BmapiUninitialize(void);
}
