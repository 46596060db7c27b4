// The byte layout of the adapter fuzz target's input: what the fake adapter
// library serves, decoded front to back. Bytes missing at the end read as
// zero, so every input decodes.
//
//   library:  version major, minor, build; status of BmapiInitializeEx,
//             BmapiGetNumPhyNicEx, BmapiGetAllPhyNicHandles; adapter count
//             (modulo MaxReportedCount + 1)
//   adapters, one after another until the input ends (at most MaxAdapters):
//             status of BmapiGetPhyNic, BmapiGetBRCMNicInfoEx,
//             BmapiGet5706FwInfo, BmapiInitDiag, BmapiUnInitDiag;
//             the number of the NVRAM read that fails (0xFF: none);
//             NicFlags, NicType, Handle (one byte each);
//             vendor, device, subsystem vendor, subsystem id (16 bits, LE);
//             Description, Name (length byte, then the bytes);
//             MacText (13 bytes as they are, no end required);
//             boot code and option ROM version texts (length byte, bytes);
//             NVRAM image (16-bit LE length, then the bytes)
//
// Text lengths are capped at their field sizes, so a text may fill its field
// without an ending zero, as a faulty library could deliver it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "state/bmapi.h"

namespace fuzz {

inline constexpr size_t MaxAdapters = 8;
inline constexpr uint32_t MaxReportedCount = 12;
inline constexpr size_t MaxNvram = 4096;
inline constexpr uint8_t NoReadFails = 0xFF;

struct FakeAdapter {
    uint8_t PhyNicStatus = 0, NicInfoStatus = 0, FwInfoStatus = 0, InitDiagStatus = 0, UnInitDiagStatus = 0;
    uint8_t FailingRead = NoReadFails;
    PhyNic Nic{};
    FwInfo Fw{};
    std::vector<uint8_t> Nvram;
};

struct FakeLibrary {
    uint8_t Major = 3, Minor = 0, Build = 2;
    uint8_t InitializeStatus = 0, CountStatus = 0, HandlesStatus = 0;
    uint32_t ReportedCount = 0;
    std::vector<FakeAdapter> Adapters;
};

struct ByteReader {
    const uint8_t* Data;
    size_t Size;
    size_t Pos = 0;

    bool AtEnd() const { return Pos >= Size; }
    uint8_t Byte() { return Pos < Size ? Data[Pos++] : 0; }
    uint16_t Le16()
    {
        const uint8_t low = Byte();
        return static_cast<uint16_t>(low | (Byte() << 8));
    }
    void Bytes(void* out, size_t n)
    {
        auto* bytes = static_cast<uint8_t*>(out);
        for (size_t i = 0; i < n; ++i)
            bytes[i] = Byte();
    }
    void Text(char* field, size_t fieldSize) { Bytes(field, std::min<size_t>(Byte(), fieldSize)); }
};

inline FakeAdapter DecodeAdapter(ByteReader& in)
{
    FakeAdapter a;
    a.PhyNicStatus = in.Byte(), a.NicInfoStatus = in.Byte(), a.FwInfoStatus = in.Byte();
    a.InitDiagStatus = in.Byte(), a.UnInitDiagStatus = in.Byte();
    a.FailingRead = in.Byte();
    a.Nic.NicFlags = in.Byte(), a.Nic.NicType = in.Byte(), a.Nic.Handle = in.Byte();
    a.Nic.VendorId = in.Le16(), a.Nic.DeviceId = in.Le16();
    a.Nic.SubsystemVendorId = in.Le16(), a.Nic.SubsystemId = in.Le16();
    in.Text(a.Nic.Description, sizeof a.Nic.Description);
    in.Text(a.Nic.Name, sizeof a.Nic.Name);
    in.Bytes(a.Nic.MacText, sizeof a.Nic.MacText);
    in.Text(a.Fw.BootCodeVersionText, sizeof a.Fw.BootCodeVersionText);
    in.Text(a.Fw.OptionRomVersionText, sizeof a.Fw.OptionRomVersionText);
    a.Nvram.resize(std::min<size_t>(in.Le16(), MaxNvram));
    in.Bytes(a.Nvram.data(), a.Nvram.size());
    return a;
}

inline FakeLibrary DecodeLibrary(const uint8_t* data, size_t size)
{
    ByteReader in{data, size};
    FakeLibrary library;
    library.Major = in.Byte(), library.Minor = in.Byte(), library.Build = in.Byte();
    library.InitializeStatus = in.Byte(), library.CountStatus = in.Byte(), library.HandlesStatus = in.Byte();
    library.ReportedCount = in.Byte() % (MaxReportedCount + 1);
    while (!in.AtEnd() && library.Adapters.size() < MaxAdapters)
        library.Adapters.push_back(DecodeAdapter(in));
    return library;
}

// The other way round, for the seed corpus.
struct ByteWriter {
    std::vector<uint8_t> Out;

    void Byte(uint8_t b) { Out.push_back(b); }
    void Le16(uint32_t v)
    {
        Byte(static_cast<uint8_t>(v));
        Byte(static_cast<uint8_t>(v >> 8));
    }
    void Bytes(const void* data, size_t n)
    {
        const auto* bytes = static_cast<const uint8_t*>(data);
        Out.insert(Out.end(), bytes, bytes + n);
    }
    void Text(const char* text, size_t fieldSize)
    {
        const size_t n = strnlen(text, fieldSize);
        Byte(static_cast<uint8_t>(n));
        Bytes(text, n);
    }
};

inline std::vector<uint8_t> EncodeLibrary(const FakeLibrary& library)
{
    ByteWriter w;
    for (uint8_t b : {library.Major, library.Minor, library.Build, library.InitializeStatus,
                      library.CountStatus, library.HandlesStatus})
        w.Byte(b);
    w.Byte(static_cast<uint8_t>(library.ReportedCount));
    for (const FakeAdapter& a : library.Adapters) {
        for (uint8_t b : {a.PhyNicStatus, a.NicInfoStatus, a.FwInfoStatus, a.InitDiagStatus,
                          a.UnInitDiagStatus, a.FailingRead})
            w.Byte(b);
        w.Byte(static_cast<uint8_t>(a.Nic.NicFlags));
        w.Byte(static_cast<uint8_t>(a.Nic.NicType));
        w.Byte(static_cast<uint8_t>(a.Nic.Handle));
        for (uint32_t id : {a.Nic.VendorId, a.Nic.DeviceId, a.Nic.SubsystemVendorId, a.Nic.SubsystemId})
            w.Le16(id);
        w.Text(a.Nic.Description, sizeof a.Nic.Description);
        w.Text(a.Nic.Name, sizeof a.Nic.Name);
        w.Bytes(a.Nic.MacText, sizeof a.Nic.MacText);
        w.Text(a.Fw.BootCodeVersionText, sizeof a.Fw.BootCodeVersionText);
        w.Text(a.Fw.OptionRomVersionText, sizeof a.Fw.OptionRomVersionText);
        w.Le16(static_cast<uint32_t>(a.Nvram.size()));
        w.Bytes(a.Nvram.data(), a.Nvram.size());
    }
    return w.Out;
}

} // namespace fuzz
