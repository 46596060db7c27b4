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
//   bmapi.trace    with trace=1, one line per library call, appended:
//                    BmapiGetVersion
//                    BmapiInitializeEx MODE
//                    BmapiGetNumPhyNicEx
//                    BmapiGetAllPhyNicHandles COUNT
//                    BmapiGetPhyNic HANDLE
//                    BmapiGetBRCMNicInfoEx HANDLE
//                    BmapiGet5706FwInfo HANDLE
//                    BmapiInitDiag HANDLE
//                    BmapiReadFirmware HANDLE 0xOFFSET COUNT
//                    BmapiUnInitDiag HANDLE
//                    BmapiUninitialize
//                  (handles and counts in decimal, the offset in hex).
//
// NVRAM image layout (the firmware image file layout): magic 66 99 55 AA at 0;
// 8 directory entries of 12 bytes from 20 (entry+4 big-endian type-and-length
// word, class in bits 28..31, length in bits 0..21; entry+8 big-endian region
// offset); MAC at 126; boot code major, minor, build at 150, 151, 152;
// big-endian device, vendor, subsystem, subsystem vendor ids at 160..167.
// The option ROM region (class 1, directory entry 0) lies at 0x400: 55 AA,
// little-endian 16-bit value at +8 with the version bytes (build, minor,
// major) at region + value + 28, kind signature at +0x20..+0x2B.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

enum class OptionRom { None, Pxe, Clp, Iscsi };

inline constexpr size_t NvramDirOffset = 20;
inline constexpr size_t NvramDirEntries = 8;
inline constexpr size_t NvramDirEntrySize = 12;
inline constexpr size_t NvramMacOffset = 126;
inline constexpr size_t NvramBootCodeOffset = 150; // major, minor, build
inline constexpr size_t NvramPciOffset = 160;      // device, vendor, subsys, subsys vendor
inline constexpr size_t NvramOptionRomOffset = 0x400;
inline constexpr size_t NvramImageSize = 0x800;
inline constexpr uint32_t DirClassShift = 28;
inline constexpr uint32_t DirClassOptionRom = 1;
inline constexpr uint32_t DirLengthMask = 0x3FFFFF;
inline constexpr size_t OptionRomVersionBase = 28; // V = region + LE16(+8) + 28
inline constexpr size_t OptionRomSignature = 0x20;
inline constexpr size_t OptionRomFileSize = 0x200;
// The first bytes of every NVRAM image and of every option ROM.
inline constexpr uint8_t NvramMagic[4] = {0x66, 0x99, 0x55, 0xAA};
inline constexpr uint8_t OptionRomMark[2] = {0x55, 0xAA};

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
    std::string FileName; // adapterN.conf
    uint32_t Handle = 0;  // 0: the library numbers adapters from 1
    uint32_t NicFlags = 0;
    uint32_t NicType = 4;
    std::string Description, Name, Mac;
    uint32_t VendorId = 0, DeviceId = 0, SubsystemVendorId = 0, SubsystemId = 0;
    std::string NvramFile;     // empty: no NVRAM
    std::string BootCodeText;  // empty: derived from the NVRAM image
    std::string OptionRomText; // empty: derived from the NVRAM image
    bool HasBootCodeText = false, HasOptionRomText = false;
    uint32_t PhyNicStatus = 0, NicInfoStatus = 0, FwInfoStatus = 0;
    uint32_t InitDiagStatus = 0, UnInitDiagStatus = 0;
    std::vector<uint32_t> ReadFailOffsets;
    uint32_t ReadStatus = 0x20; // status of an injected read failure
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

// Big-endian words in image bytes, for the stand-ins and for tests that
// build or inspect images by hand. The offsets must lie inside the bytes.
void PutBe16(std::vector<uint8_t>& bytes, size_t at, uint16_t value);
void PutBe32(std::vector<uint8_t>& bytes, size_t at, uint32_t value);
uint16_t GetBe16(const std::vector<uint8_t>& bytes, size_t at);
uint32_t GetBe32(const std::vector<uint8_t>& bytes, size_t at);

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

// The option ROM region of an NVRAM image: the first directory entry of
// class 1 with a length, whose region starts 55 AA inside the image.
struct RomRegion {
    size_t Entry = 0;
    uint32_t Offset = 0, Length = 0;
};
bool IsNvramImage(const std::vector<uint8_t>& bytes);
bool FindOptionRomRegion(const std::vector<uint8_t>& nvram, RomRegion& region);
// Kind and version of an option ROM (NVRAM region or file, starting 55 AA);
// size is what is available from rom on.
OptionRom OptionRomKindOf(const uint8_t* rom, size_t size);
bool OptionRomVersionOf(const uint8_t* rom, size_t size, uint8_t& major, uint8_t& minor, uint8_t& build);
const char* OptionRomName(OptionRom rom); // "PXE", "CLP", "iSCSI", "none"

// mkdir -p; true when the directory exists afterwards.
bool MakeDirs(const std::string& dir);

// Versions an NVRAM image holds, as the library reports them in its
// firmware information texts ("1.9.6"); empty when absent.
std::string BootCodeTextOf(const std::vector<uint8_t>& nvram);
std::string OptionRomTextOf(const std::vector<uint8_t>& nvram);

} // namespace sim
