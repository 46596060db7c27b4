#include "fleet.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string_view>

// This file is also linked into programs that do not define the exported
// byte swaps, so it does its own byte handling.
namespace sim {

namespace {

constexpr uint8_t NvramMagic[4] = {0x66, 0x99, 0x55, 0xAA};
constexpr size_t NvramMinSize = NvramPciOffset + 8;
constexpr size_t MaxFileSize = 16u << 20;
constexpr size_t OptionRomRegionLength = 0x100;
constexpr uint16_t OptionRomVersionPointer = 0x20; // versions at +0x3C

using FilePtr = std::unique_ptr<FILE, int (*)(FILE*)>;

FilePtr OpenFile(const std::string& path, const char* mode)
{
    return FilePtr(std::fopen(path.c_str(), mode), &std::fclose);
}

uint32_t GetBe32(const uint8_t* p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

void PutBe32(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

void PutBe16(uint8_t* p, uint16_t v)
{
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}

// Option ROM header and signature, written at rom[0..].
void FillOptionRom(uint8_t* rom, size_t length, OptionRom kind, uint8_t major, uint8_t minor, uint8_t build)
{
    rom[0] = 0x55;
    rom[1] = 0xAA;
    rom[2] = uint8_t((length + 511) / 512);
    rom[8] = uint8_t(OptionRomVersionPointer & 0xFF);
    rom[9] = uint8_t(OptionRomVersionPointer >> 8);
    uint8_t* sig = rom + OptionRomSignature;
    switch (kind) {
    case OptionRom::Pxe: std::memcpy(sig, "\x49\x44\x4E\x55", 4); break;
    case OptionRom::Iscsi:
        // The bytes between the required ones must not spell the PXE group.
        std::memcpy(sig, "\x49\x53\x43\x53\x20\x54\x42\x53\x49\x20\x20\x20", 12);
        break;
    case OptionRom::Clp: std::memcpy(sig, "\x43\x4C\x50\x2D\x48\x20\x50\x4C\x43\x20\x52\x44", 12); break;
    case OptionRom::None: break;
    }
    uint8_t* v = rom + OptionRomVersionPointer + OptionRomVersionBase;
    v[0] = build;
    v[1] = minor;
    v[2] = major;
}

std::string VersionText(unsigned major, unsigned minor, unsigned build)
{
    char text[48];
    std::snprintf(text, sizeof text, "%u.%u.%u", major, minor, build);
    return text;
}

// Numbers in C notation, 32 bits; false for anything else.
bool ParseNumber(const std::string& text, uint32_t& value)
{
    if (text.empty() || text[0] == '-' || text[0] == '+')
        return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || end == text.c_str() || *end != '\0' || v > 0xFFFFFFFFull)
        return false;
    value = uint32_t(v);
    return true;
}

// Calls fn(key, value) for every key=value line of the file.
template <typename Fn> bool ReadKeyValues(const std::string& path, Fn fn)
{
    std::vector<uint8_t> bytes;
    if (!ReadFile(path, bytes))
        return false;
    std::string_view all(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    while (!all.empty()) {
        size_t eol = all.find('\n');
        std::string_view line = all.substr(0, eol);
        all = eol == std::string_view::npos ? std::string_view() : all.substr(eol + 1);
        size_t eq = line.find('=');
        if (eq == std::string_view::npos)
            continue;
        fn(std::string(line.substr(0, eq)), std::string(line.substr(eq + 1)));
    }
    return true;
}

bool WriteText(const std::string& path, const std::string& text)
{
    return WriteFile(path, std::vector<uint8_t>(text.begin(), text.end()));
}

std::string Hex(uint32_t v)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", v);
    return text;
}

struct DemoAdapter {
    const char* Name;
    const char* Interface;
    const char* Mac;
    uint16_t DeviceId, SubsystemId;
    uint8_t BootCode[3];
    OptionRom Rom;
    uint8_t RomVersion[3];
};

constexpr uint16_t DemoVendorId = 0x1F0A;

// One adapter a row.
// clang-format off
constexpr DemoAdapter DemoTable[] = {
    {"Orvan GS-210 Gigabit Server Adapter", "eth0", "02A45B1C3E01", 0x1640, 0x007C, {1, 9, 6},
     OptionRom::Pxe, {1, 4, 2}},
    {"Orvan GS-220 Gigabit Server Adapter", "eth1", "02A45B1C3E02", 0x1641, 0x0A31, {2, 0, 1},
     OptionRom::Clp, {3, 1, 0}},
    {"Orvan GB-410 Gigabit Blade Adapter", "eth2", "02A45B1C3E03", 0x16A2, 0x1203, {2, 0, 3},
     OptionRom::Iscsi, {2, 2, 1}},
};
// clang-format on
constexpr size_t DemoCount = std::size(DemoTable);

bool ParseMac(const char* text, uint8_t mac[6])
{
    for (int i = 0; i < 6; ++i) {
        unsigned byte = 0;
        if (std::sscanf(text + 2 * i, "%2x", &byte) != 1)
            return false;
        mac[i] = uint8_t(byte);
    }
    return true;
}

NvramSpec DemoNvramSpec(size_t index)
{
    const DemoAdapter& a = DemoTable[index];
    NvramSpec spec;
    spec.BootCodeMajor = a.BootCode[0];
    spec.BootCodeMinor = a.BootCode[1];
    spec.BootCodeBuild = a.BootCode[2];
    ParseMac(a.Mac, spec.Mac);
    spec.VendorId = DemoVendorId;
    spec.DeviceId = a.DeviceId;
    spec.SubsystemVendorId = DemoVendorId;
    spec.SubsystemId = a.SubsystemId;
    spec.Rom = a.Rom;
    spec.RomMajor = a.RomVersion[0];
    spec.RomMinor = a.RomVersion[1];
    spec.RomBuild = a.RomVersion[2];
    return spec;
}

std::string PciIdToken(const DemoAdapter& a)
{
    char text[32];
    std::snprintf(text, sizeof text, "%04X-%04X-%04X-%04X", unsigned(DemoVendorId), unsigned(a.DeviceId),
                  unsigned(DemoVendorId), unsigned(a.SubsystemId));
    return text;
}

} // namespace

std::vector<uint8_t> BuildNvramImage(const NvramSpec& spec)
{
    std::vector<uint8_t> image(NvramImageSize, 0);
    std::memcpy(image.data(), NvramMagic, 4);
    std::memcpy(&image[NvramMacOffset], spec.Mac, 6);
    image[NvramBootCodeOffset] = spec.BootCodeMajor;
    image[NvramBootCodeOffset + 1] = spec.BootCodeMinor;
    image[NvramBootCodeOffset + 2] = spec.BootCodeBuild;
    PutBe16(&image[NvramPciOffset], spec.DeviceId);
    PutBe16(&image[NvramPciOffset + 2], spec.VendorId);
    PutBe16(&image[NvramPciOffset + 4], spec.SubsystemId);
    PutBe16(&image[NvramPciOffset + 6], spec.SubsystemVendorId);
    if (spec.Rom != OptionRom::None) {
        uint8_t* entry = &image[NvramDirOffset];
        PutBe32(entry + 4, (DirClassOptionRom << DirClassShift) | uint32_t(OptionRomRegionLength));
        PutBe32(entry + 8, uint32_t(NvramOptionRomOffset));
        FillOptionRom(&image[NvramOptionRomOffset], OptionRomRegionLength, spec.Rom, spec.RomMajor,
                      spec.RomMinor, spec.RomBuild);
    }
    return image;
}

std::vector<uint8_t> BuildOptionRomFile(OptionRom rom, uint8_t major, uint8_t minor, uint8_t build)
{
    std::vector<uint8_t> file(OptionRomFileSize, 0);
    FillOptionRom(file.data(), file.size(), rom, major, minor, build);
    return file;
}

void PutBe16(std::vector<uint8_t>& bytes, size_t at, uint16_t value)
{
    bytes.at(at) = uint8_t(value >> 8);
    bytes.at(at + 1) = uint8_t(value);
}

void PutBe32(std::vector<uint8_t>& bytes, size_t at, uint32_t value)
{
    PutBe16(bytes, at, uint16_t(value >> 16));
    PutBe16(bytes, at + 2, uint16_t(value));
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    ok = std::fflush(f) == 0 && ok;
    return std::fclose(f) == 0 && ok;
}

bool ReadFile(const std::string& path, std::vector<uint8_t>& bytes)
{
    bytes.clear();
    FilePtr f = OpenFile(path, "rb");
    if (!f)
        return false;
    uint8_t chunk[4096];
    for (;;) {
        size_t n = std::fread(chunk, 1, sizeof chunk, f.get());
        bytes.insert(bytes.end(), chunk, chunk + n);
        if (bytes.size() > MaxFileSize)
            return false;
        if (n < sizeof chunk)
            return std::ferror(f.get()) == 0;
    }
}

bool WriteLibrary(const std::string& dir, const LibrarySpec& spec)
{
    std::string text = "version=" + VersionText(spec.Major, spec.Minor, spec.Build) + "\n";
    text += "initialize_status=" + Hex(spec.InitializeStatus) + "\n";
    text += "count_status=" + Hex(spec.CountStatus) + "\n";
    text += "handles_status=" + Hex(spec.HandlesStatus) + "\n";
    text += std::string("trace=") + (spec.Trace ? "1" : "0") + "\n";
    return WriteText(dir + "/library.conf", text);
}

bool WriteAdapter(const std::string& dir, const AdapterSpec& spec)
{
    std::string text;
    auto num = [&](const char* key, uint32_t v) { text += std::string(key) + "=" + Hex(v) + "\n"; };
    auto str = [&](const char* key, const std::string& v) { text += std::string(key) + "=" + v + "\n"; };
    num("handle", spec.Handle);
    num("nic_flags", spec.NicFlags);
    num("nic_type", spec.NicType);
    str("description", spec.Description);
    str("name", spec.Name);
    str("mac", spec.Mac);
    num("vendor_id", spec.VendorId);
    num("device_id", spec.DeviceId);
    num("subsystem_vendor_id", spec.SubsystemVendorId);
    num("subsystem_id", spec.SubsystemId);
    if (!spec.NvramFile.empty())
        str("nvram", spec.NvramFile);
    if (spec.HasBootCodeText)
        str("bootcode_text", spec.BootCodeText);
    if (spec.HasOptionRomText)
        str("optionrom_text", spec.OptionRomText);
    num("phynic_status", spec.PhyNicStatus);
    num("nicinfo_status", spec.NicInfoStatus);
    num("fwinfo_status", spec.FwInfoStatus);
    num("initdiag_status", spec.InitDiagStatus);
    num("uninitdiag_status", spec.UnInitDiagStatus);
    for (uint32_t offset : spec.ReadFailOffsets)
        num("read_fail_offset", offset);
    num("read_status", spec.ReadStatus);
    std::string name = spec.FileName.empty() ? std::string("adapter0.conf") : spec.FileName;
    return WriteText(dir + "/" + name, text);
}

bool ReadLibrary(const std::string& dir, LibrarySpec& spec)
{
    spec = LibrarySpec();
    std::string path = dir + "/library.conf";
    std::error_code ec;
    if (!std::filesystem::exists(path, ec))
        return !ec; // the file is optional
    return ReadKeyValues(path, [&](const std::string& key, const std::string& value) {
        uint32_t n = 0;
        if (key == "version") {
            unsigned major = 0, minor = 0, build = 0;
            char extra = 0;
            if (std::sscanf(value.c_str(), "%u.%u.%u%c", &major, &minor, &build, &extra) == 3) {
                spec.Major = major;
                spec.Minor = minor;
                spec.Build = build;
            }
        } else if (!ParseNumber(value, n)) {
            return;
        } else if (key == "initialize_status") {
            spec.InitializeStatus = n;
        } else if (key == "count_status") {
            spec.CountStatus = n;
        } else if (key == "handles_status") {
            spec.HandlesStatus = n;
        } else if (key == "trace") {
            spec.Trace = n != 0;
        }
    });
}

namespace {

void ApplyAdapterKey(AdapterSpec& spec, const std::string& key, const std::string& value)
{
    struct TextKey {
        const char* Key;
        std::string AdapterSpec::*Field;
    };
    static constexpr TextKey Texts[] = {
        {"description", &AdapterSpec::Description},
        {"name", &AdapterSpec::Name},
        {"mac", &AdapterSpec::Mac},
        {"nvram", &AdapterSpec::NvramFile},
    };
    struct NumberKey {
        const char* Key;
        uint32_t AdapterSpec::*Field;
    };
    static constexpr NumberKey Numbers[] = {
        {"handle", &AdapterSpec::Handle},
        {"nic_flags", &AdapterSpec::NicFlags},
        {"nic_type", &AdapterSpec::NicType},
        {"vendor_id", &AdapterSpec::VendorId},
        {"device_id", &AdapterSpec::DeviceId},
        {"subsystem_vendor_id", &AdapterSpec::SubsystemVendorId},
        {"subsystem_id", &AdapterSpec::SubsystemId},
        {"phynic_status", &AdapterSpec::PhyNicStatus},
        {"nicinfo_status", &AdapterSpec::NicInfoStatus},
        {"fwinfo_status", &AdapterSpec::FwInfoStatus},
        {"initdiag_status", &AdapterSpec::InitDiagStatus},
        {"uninitdiag_status", &AdapterSpec::UnInitDiagStatus},
        {"read_status", &AdapterSpec::ReadStatus},
    };
    for (const TextKey& t : Texts) {
        if (key == t.Key) {
            spec.*t.Field = value;
            return;
        }
    }
    if (key == "bootcode_text") {
        spec.BootCodeText = value;
        spec.HasBootCodeText = true;
        return;
    }
    if (key == "optionrom_text") {
        spec.OptionRomText = value;
        spec.HasOptionRomText = true;
        return;
    }
    uint32_t n = 0;
    if (!ParseNumber(value, n))
        return;
    if (key == "read_fail_offset") {
        spec.ReadFailOffsets.push_back(n);
        return;
    }
    for (const NumberKey& k : Numbers) {
        if (key == k.Key) {
            spec.*k.Field = n;
            return;
        }
    }
}

} // namespace

bool ReadAdapters(const std::string& dir, std::vector<AdapterSpec>& adapters)
{
    adapters.clear();
    std::error_code ec;
    std::filesystem::directory_iterator it(dir, ec);
    if (ec)
        return false;
    std::vector<std::string> names;
    for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (name.size() > 11 && name.compare(0, 7, "adapter") == 0 &&
            name.compare(name.size() - 5, 5, ".conf") == 0)
            names.push_back(name);
    }
    if (ec)
        return false;
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        AdapterSpec spec;
        spec.FileName = name;
        if (!ReadKeyValues(dir + "/" + name,
                           [&](const std::string& k, const std::string& v) { ApplyAdapterKey(spec, k, v); }))
            return false;
        adapters.push_back(std::move(spec));
    }
    return true;
}

std::vector<AdapterSpec> DemoAdapters()
{
    std::vector<AdapterSpec> adapters;
    for (size_t i = 0; i < DemoCount; ++i) {
        const DemoAdapter& a = DemoTable[i];
        AdapterSpec spec;
        spec.FileName = "adapter" + std::to_string(i) + ".conf";
        spec.Description = std::string("Orvan Gigabit Server Adapter (") + a.Interface + ")";
        spec.Name = a.Name;
        spec.Mac = a.Mac;
        spec.VendorId = DemoVendorId;
        spec.DeviceId = a.DeviceId;
        spec.SubsystemVendorId = DemoVendorId;
        spec.SubsystemId = a.SubsystemId;
        spec.NvramFile = "adapter" + std::to_string(i) + ".nvram";
        adapters.push_back(std::move(spec));
    }
    return adapters;
}

std::vector<uint8_t> DemoNvram(size_t index)
{
    if (index >= DemoCount)
        return {};
    return BuildNvramImage(DemoNvramSpec(index));
}

bool WriteDemoFleet(const std::string& dir)
{
    if (!MakeDirs(dir) || !WriteLibrary(dir, LibrarySpec()))
        return false;
    std::vector<AdapterSpec> adapters = DemoAdapters();
    for (size_t i = 0; i < adapters.size(); ++i) {
        if (!WriteAdapter(dir, adapters[i]) || !WriteFile(dir + "/" + adapters[i].NvramFile, DemoNvram(i)))
            return false;
    }
    return true;
}

bool WriteDemoCatalog(const std::string& dir)
{
    for (const char* sub : {"/bootcode", "/pxe", "/clp"}) {
        if (!MakeDirs(dir + sub))
            return false;
    }
    // Adapter 0: newer boot code and PXE; adapter 1: newer CLP; adapter 2:
    // boot code equal to what it carries.
    NvramSpec bc0 = DemoNvramSpec(0);
    bc0.BootCodeMajor = 2, bc0.BootCodeMinor = 0, bc0.BootCodeBuild = 1;
    bc0.Rom = OptionRom::None;
    std::fill(std::begin(bc0.Mac), std::end(bc0.Mac), 0);
    NvramSpec bc2 = DemoNvramSpec(2);
    bc2.Rom = OptionRom::None;
    std::fill(std::begin(bc2.Mac), std::end(bc2.Mac), 0);

    std::string bootcode = PciIdToken(DemoTable[0]) + " gs210_bc_201.bin v2.0.1\n" +
                           PciIdToken(DemoTable[2]) + " gb410_bc_203.bin v2.0.3\n";
    std::string pxe = PciIdToken(DemoTable[0]) + " gs210_pxe_150.rom -\n";
    std::string clp = PciIdToken(DemoTable[1]) + " gs220_clp_312.rom v3.1.2\n";
    return WriteFile(dir + "/bootcode/gs210_bc_201.bin", BuildNvramImage(bc0)) &&
           WriteFile(dir + "/bootcode/gb410_bc_203.bin", BuildNvramImage(bc2)) &&
           WriteText(dir + "/bootcode/bootcode.info", bootcode) &&
           WriteFile(dir + "/pxe/gs210_pxe_150.rom", BuildOptionRomFile(OptionRom::Pxe, 1, 5, 0)) &&
           WriteText(dir + "/pxe/pxe.info", pxe) &&
           WriteFile(dir + "/clp/gs220_clp_312.rom", BuildOptionRomFile(OptionRom::Clp, 3, 1, 2)) &&
           WriteText(dir + "/clp/clp.info", clp);
}

bool IsNvramImage(const std::vector<uint8_t>& bytes)
{
    return bytes.size() >= NvramMinSize && std::memcmp(bytes.data(), NvramMagic, 4) == 0;
}

bool FindOptionRomRegion(const std::vector<uint8_t>& nvram, RomRegion& region)
{
    if (!IsNvramImage(nvram))
        return false;
    for (size_t i = 0; i < NvramDirEntries; ++i) {
        const uint8_t* entry = &nvram[NvramDirOffset + i * NvramDirEntrySize];
        uint32_t type = GetBe32(entry + 4);
        uint32_t offset = GetBe32(entry + 8);
        if ((type >> DirClassShift) != DirClassOptionRom || (type & DirLengthMask) == 0)
            continue;
        if (offset >= nvram.size() || nvram.size() - offset < 2 || nvram[offset] != 0x55 ||
            nvram[offset + 1] != 0xAA)
            continue;
        region.Entry = i;
        region.Offset = offset;
        region.Length = type & DirLengthMask;
        return true;
    }
    return false;
}

OptionRom OptionRomKindOf(const uint8_t* rom, size_t size)
{
    if (size < OptionRomSignature + 12 || rom[0] != 0x55 || rom[1] != 0xAA)
        return OptionRom::None;
    const uint8_t* s = rom + OptionRomSignature;
    if (std::memcmp(s, "\x49\x44\x4E\x55", 4) == 0)
        return OptionRom::Pxe;
    if (s[0] == 0x49 && std::memcmp(s + 4, "\x20\x54\x42\x53", 4) == 0 &&
        std::memcmp(s + 9, "\x20\x20\x20", 3) == 0)
        return OptionRom::Iscsi;
    if (s[0] == 0x43 && std::memcmp(s + 4, "\x48\x20\x50\x4C", 4) == 0 &&
        std::memcmp(s + 9, "\x20\x52\x44", 3) == 0)
        return OptionRom::Clp;
    return OptionRom::None;
}

bool OptionRomVersionOf(const uint8_t* rom, size_t size, uint8_t& major, uint8_t& minor, uint8_t& build)
{
    if (size < 10 || rom[0] != 0x55 || rom[1] != 0xAA)
        return false;
    size_t v = size_t(rom[8] | (rom[9] << 8)) + OptionRomVersionBase;
    if (v >= size || size - v < 3)
        return false;
    build = rom[v];
    minor = rom[v + 1];
    major = rom[v + 2];
    return true;
}

const char* OptionRomName(OptionRom rom)
{
    switch (rom) {
    case OptionRom::Pxe: return "PXE";
    case OptionRom::Clp: return "CLP";
    case OptionRom::Iscsi: return "iSCSI";
    case OptionRom::None: break;
    }
    return "none";
}

bool MakeDirs(const std::string& dir)
{
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    return std::filesystem::is_directory(dir, ec);
}

std::string BootCodeTextOf(const std::vector<uint8_t>& nvram)
{
    if (!IsNvramImage(nvram))
        return {};
    const uint8_t* b = &nvram[NvramBootCodeOffset];
    return VersionText(b[0], b[1], b[2]);
}

std::string OptionRomTextOf(const std::vector<uint8_t>& nvram)
{
    RomRegion region;
    uint8_t major = 0, minor = 0, build = 0;
    if (!FindOptionRomRegion(nvram, region) ||
        !OptionRomVersionOf(&nvram[region.Offset], nvram.size() - region.Offset, major, minor, build))
        return {};
    return VersionText(major, minor, build);
}

} // namespace sim
