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

constexpr size_t NvramMinSize = NvramPciOffset + 8;
constexpr size_t MaxFileSize = 16u << 20;
constexpr size_t OptionRomRegionLength = 0x100;
constexpr uint16_t OptionRomVersionPointer = 0x20; // versions at +0x3C

using FilePtr = std::unique_ptr<FILE, int (*)(FILE*)>;

FilePtr OpenFile(const std::string& path, const char* mode)
{
    return FilePtr(std::fopen(path.c_str(), mode), &std::fclose);
}

// Kind signatures at +0x20 of an option ROM. Readers examine only the bytes
// whose bit is set in Checked (bit i: byte i); the bytes between them must
// still not spell another kind's signature.
struct RomSignature {
    OptionRom Kind;
    uint8_t Bytes[12];
    uint16_t Checked;
};
constexpr RomSignature RomSignatures[] = {
    {OptionRom::Pxe, {0x49, 0x44, 0x4E, 0x55}, 0x00F},
    {OptionRom::Iscsi, {0x49, 0x53, 0x43, 0x53, 0x20, 0x54, 0x42, 0x53, 0x49, 0x20, 0x20, 0x20}, 0xEF1},
    {OptionRom::Clp, {0x43, 0x4C, 0x50, 0x2D, 0x48, 0x20, 0x50, 0x4C, 0x43, 0x20, 0x52, 0x44}, 0xEF1},
};
constexpr size_t RomSignatureSize = sizeof RomSignatures[0].Bytes;

bool HasOptionRomMark(const uint8_t* rom, size_t size)
{
    return size >= sizeof OptionRomMark && std::memcmp(rom, OptionRomMark, sizeof OptionRomMark) == 0;
}

bool SignatureMatches(const RomSignature& signature, const uint8_t* bytes)
{
    for (size_t i = 0; i < RomSignatureSize; ++i)
        if ((signature.Checked >> i & 1) != 0 && bytes[i] != signature.Bytes[i])
            return false;
    return true;
}

// Option ROM header and signature, written at rom[0..].
void FillOptionRom(uint8_t* rom, size_t length, OptionRom kind, uint8_t major, uint8_t minor, uint8_t build)
{
    std::memcpy(rom, OptionRomMark, sizeof OptionRomMark);
    rom[2] = uint8_t((length + 511) / 512);
    rom[8] = uint8_t(OptionRomVersionPointer & 0xFF);
    rom[9] = uint8_t(OptionRomVersionPointer >> 8);
    for (const RomSignature& signature : RomSignatures)
        if (signature.Kind == kind)
            std::memcpy(rom + OptionRomSignature, signature.Bytes, RomSignatureSize);
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
    for (size_t i = 0; i < 6; ++i) {
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
    std::memcpy(image.data(), NvramMagic, sizeof NvramMagic);
    std::memcpy(&image[NvramMacOffset], spec.Mac, 6);
    image[NvramBootCodeOffset] = spec.BootCodeMajor;
    image[NvramBootCodeOffset + 1] = spec.BootCodeMinor;
    image[NvramBootCodeOffset + 2] = spec.BootCodeBuild;
    PutBe16(image, NvramPciOffset, spec.DeviceId);
    PutBe16(image, NvramPciOffset + 2, spec.VendorId);
    PutBe16(image, NvramPciOffset + 4, spec.SubsystemId);
    PutBe16(image, NvramPciOffset + 6, spec.SubsystemVendorId);
    if (spec.Rom != OptionRom::None) {
        PutBe32(image, NvramDirOffset + 4,
                (DirClassOptionRom << DirClassShift) | uint32_t(OptionRomRegionLength));
        PutBe32(image, NvramDirOffset + 8, uint32_t(NvramOptionRomOffset));
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

uint16_t GetBe16(const std::vector<uint8_t>& bytes, size_t at)
{
    return uint16_t((bytes.at(at) << 8) | bytes.at(at + 1));
}

uint32_t GetBe32(const std::vector<uint8_t>& bytes, size_t at)
{
    return (uint32_t(GetBe16(bytes, at)) << 16) | GetBe16(bytes, at + 2);
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

// Text keys; a present flag records that the text was given at all.
struct TextKey {
    const char* Key;
    std::string AdapterSpec::*Field;
    bool AdapterSpec::*Present;
};
constexpr TextKey TextKeys[] = {
    {"description", &AdapterSpec::Description, nullptr},
    {"name", &AdapterSpec::Name, nullptr},
    {"mac", &AdapterSpec::Mac, nullptr},
    {"nvram", &AdapterSpec::NvramFile, nullptr},
    {"bootcode_text", &AdapterSpec::BootCodeText, &AdapterSpec::HasBootCodeText},
    {"optionrom_text", &AdapterSpec::OptionRomText, &AdapterSpec::HasOptionRomText},
};

struct NumberKey {
    const char* Key;
    uint32_t AdapterSpec::*Field;
};
constexpr NumberKey NumberKeys[] = {
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
constexpr char ReadFailOffsetKey[] = "read_fail_offset"; // may repeat

// Unknown keys and numbers that do not parse are ignored.
void ApplyAdapterKey(AdapterSpec& spec, const std::string& key, const std::string& value)
{
    for (const TextKey& t : TextKeys) {
        if (key != t.Key)
            continue;
        spec.*t.Field = value;
        if (t.Present != nullptr)
            spec.*t.Present = true;
        return;
    }
    uint32_t n = 0;
    if (!ParseNumber(value, n))
        return;
    if (key == ReadFailOffsetKey) {
        spec.ReadFailOffsets.push_back(n);
        return;
    }
    for (const NumberKey& k : NumberKeys) {
        if (key == k.Key) {
            spec.*k.Field = n;
            return;
        }
    }
}

} // namespace

bool WriteAdapter(const std::string& dir, const AdapterSpec& spec)
{
    std::string text;
    auto line = [&](const char* key, const std::string& value) {
        text += std::string(key) + "=" + value + "\n";
    };
    // A text that was not given is left out, so it reads back as not given.
    for (const TextKey& t : TextKeys)
        if (t.Present != nullptr ? spec.*t.Present : !(spec.*t.Field).empty())
            line(t.Key, spec.*t.Field);
    for (const NumberKey& k : NumberKeys)
        line(k.Key, Hex(spec.*k.Field));
    for (uint32_t offset : spec.ReadFailOffsets)
        line(ReadFailOffsetKey, Hex(offset));
    std::string name = spec.FileName.empty() ? std::string("adapter0.conf") : spec.FileName;
    return WriteText(dir + "/" + name, text);
}

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
        std::string path = dir + '/';
        path += name;
        if (!ReadKeyValues(path,
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
    return bytes.size() >= NvramMinSize && std::memcmp(bytes.data(), NvramMagic, sizeof NvramMagic) == 0;
}

bool FindOptionRomRegion(const std::vector<uint8_t>& nvram, RomRegion& region)
{
    if (!IsNvramImage(nvram))
        return false;
    for (size_t i = 0; i < NvramDirEntries; ++i) {
        const size_t entry = NvramDirOffset + i * NvramDirEntrySize;
        uint32_t type = GetBe32(nvram, entry + 4);
        uint32_t offset = GetBe32(nvram, entry + 8);
        if ((type >> DirClassShift) != DirClassOptionRom || (type & DirLengthMask) == 0)
            continue;
        if (offset >= nvram.size() || !HasOptionRomMark(&nvram[offset], nvram.size() - offset))
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
    if (size < OptionRomSignature + RomSignatureSize || !HasOptionRomMark(rom, size))
        return OptionRom::None;
    for (const RomSignature& signature : RomSignatures)
        if (SignatureMatches(signature, rom + OptionRomSignature))
            return signature.Kind;
    return OptionRom::None;
}

bool OptionRomVersionOf(const uint8_t* rom, size_t size, uint8_t& major, uint8_t& minor, uint8_t& build)
{
    if (size < 10 || !HasOptionRomMark(rom, size))
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
