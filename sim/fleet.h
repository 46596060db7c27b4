// The simulated fleet: adapter description files and NVRAM images on disk,
// shared by the substitute adapter library, the stand-in flashing tool, the
// demo writer and the tests.
//
// A fleet directory holds:
//   library.conf   optional, key=value lines:
//                    version=3.0.2            library version (major.minor.build)
//                    initialize_status=N      status of BmapiInitializeEx
//                    count_status=N           status of BmapiGetNumPhyNicEx
//                    handles_status=N         status of BmapiGetAllPhyNicHandles
//                    trace=1                  append every call to bmapi.trace
//   adapter*.conf  one per adapter, served in file name order, key=value lines
//                  (numbers in C notation: 12, 0x1F; texts taken verbatim to
//                  the end of the line):
//                    handle, nic_flags, nic_type, description, name, mac,
//                    vendor_id, device_id, subsystem_vendor_id, subsystem_id,
//                    nvram (file name in the fleet directory),
//                    bootcode_text, optionrom_text (served instead of the
//                    versions found in the NVRAM image),
//                    phynic_status, nicinfo_status, fwinfo_status,
//                    initdiag_status, uninitdiag_status (fault injection),
//                    read_fail_offset (may repeat), read_status
//   *.nvram        NVRAM images in the firmware image file layout.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

enum class OptionRom { None, Pxe, Clp, Iscsi };

// What an NVRAM image holds. Versions are single digits per component, as
// the firmware information texts carry them.
struct NvramSpec {
    uint8_t BootCodeMajor = 1, BootCodeMinor = 0, BootCodeBuild = 0;
    uint8_t Mac[6] = {};
    uint16_t VendorId = 0, DeviceId = 0, SubsystemVendorId = 0, SubsystemId = 0;
    OptionRom Rom = OptionRom::None;
    uint8_t RomMajor = 0, RomMinor = 0, RomBuild = 0;
};

struct AdapterSpec {
    std::string FileName;  // adapterN.conf
    uint32_t Handle = 0;   // 0: the library numbers adapters from 1
    uint32_t NicFlags = 0;
    uint32_t NicType = 4;
    std::string Description, Name, Mac;
    uint32_t VendorId = 0, DeviceId = 0, SubsystemVendorId = 0, SubsystemId = 0;
    std::string NvramFile;           // empty: no NVRAM
    std::string BootCodeText;        // empty: derived from the NVRAM image
    std::string OptionRomText;       // empty: derived from the NVRAM image
    bool HasBootCodeText = false, HasOptionRomText = false;
    uint32_t PhyNicStatus = 0, NicInfoStatus = 0, FwInfoStatus = 0;
    uint32_t InitDiagStatus = 0, UnInitDiagStatus = 0;
    std::vector<uint32_t> ReadFailOffsets;
    uint32_t ReadStatus = 0x20;  // status of an injected read failure
};

struct LibrarySpec {
    uint32_t Major = 3, Minor = 0, Build = 2;
    uint32_t InitializeStatus = 0, CountStatus = 0, HandlesStatus = 0;
    bool Trace = false;
};

// NVRAM image bytes in the firmware image file layout, with one option ROM
// region (when Rom is not None) whose directory entry has class 1.
std::vector<uint8_t> BuildNvramImage(const NvramSpec& spec);
// A PXE or CLP option ROM file (starts 55 AA) with the given version.
std::vector<uint8_t> BuildOptionRomFile(OptionRom rom, uint8_t major, uint8_t minor, uint8_t build);

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);
bool ReadFile(const std::string& path, std::vector<uint8_t>& bytes);

bool WriteLibrary(const std::string& dir, const LibrarySpec& spec);
bool WriteAdapter(const std::string& dir, const AdapterSpec& spec);
bool ReadLibrary(const std::string& dir, LibrarySpec& spec);
// Adapters of the fleet in file name order.
bool ReadAdapters(const std::string& dir, std::vector<AdapterSpec>& adapters);

// The built-in demo fleet: three adapters (PXE, CLP, iSCSI option ROMs),
// and its catalog. WriteDemoFleet writes it as a fleet directory.
std::vector<AdapterSpec> DemoAdapters();
std::vector<uint8_t> DemoNvram(size_t index);
bool WriteDemoFleet(const std::string& dir);
// The demo catalog tree (bootcode/, pxe/, clp/ with their .info files and
// images) under dir, meant for /opt/orvan/nic_fw/nx2/.
bool WriteDemoCatalog(const std::string& dir);

// Versions an NVRAM image holds, as the library reports them in its
// firmware information texts ("1.9.6"); empty when absent.
std::string BootCodeTextOf(const std::vector<uint8_t>& nvram);
std::string OptionRomTextOf(const std::vector<uint8_t>& nvram);

} // namespace sim
