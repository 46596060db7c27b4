// Helpers for the catalog's unit tests: hand-built image files and one
// adapter's installed and selection records.
#pragma once

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "state/records.h"
#include "catalog/image_file.h"
#include "catalog/select.h"
#include "console/output.h"
#include "fleet.h"
#include "state/run_state.h"
#include "test_support.h"

namespace catalogtest {

using Bytes = std::vector<uint8_t>;

inline const std::string BootDir = BootCodeCatalogDir;
inline const std::string PxeDir = PxeCatalogDir;
inline const std::string ClpDir = ClpCatalogDir;
inline const std::string AdapterId = "1A2B-3C4D-5E6F-7A8B";
inline const std::string Heading = "\nFound Test Adapter MAC: 001122AABBCC \n";

// These tests write the catalog under /opt: they must see a private /opt and
// /var/opt, as tests/sandbox/sandbox.sh provides.
inline bool InPrivateMounts()
{
    const std::string mounts = test::ReadText("/proc/self/mountinfo");
    return mounts.find(" /opt ") != std::string::npos && mounts.find(" /var/opt ") != std::string::npos;
}

using sim::PutBe16;
using sim::PutBe32;

inline void PutLe16(Bytes& b, size_t at, uint16_t v)
{
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}

inline void PutText(Bytes& b, size_t at, const std::string& text)
{
    std::memcpy(&b[at], text.data(), text.size());
}

inline void WriteFile(const std::string& path, const Bytes& bytes)
{
    test::WriteText(path, std::string(bytes.begin(), bytes.end()));
}

inline Bytes Nvram(size_t size, uint8_t bootMajor, uint8_t bootMinor)
{
    Bytes b(size, 0);
    PutBe32(b, 0, 0x669955AA);
    b[150] = bootMajor;
    b[151] = bootMinor;
    return b;
}

inline void DirEntry(Bytes& b, int i, uint32_t typeAndLength, uint32_t region)
{
    PutBe32(b, 20 + 12 * i + 4, typeAndLength);
    PutBe32(b, 20 + 12 * i + 8, region);
}

inline uint32_t TypeLength(uint32_t type, uint32_t length) { return (type << 24) | length; }

// An option ROM at region whose version bytes lie pointer + 28 further on.
inline void PxeRegion(Bytes& b, size_t region, bool signature, uint16_t pointer, uint8_t major, uint8_t minor,
                      uint8_t build)
{
    if (signature) {
        b[region] = 0x55;
        b[region + 1] = 0xAA;
    }
    PutLe16(b, region + 8, pointer);
    b[region + pointer + 28] = build;
    b[region + pointer + 29] = minor;
    b[region + pointer + 30] = major;
}

inline void IpmiRegion(Bytes& b, size_t region, uint16_t textOffset, const std::string& text)
{
    PutBe16(b, region + 10, textOffset);
    PutText(b, region + textOffset, text);
}

inline Bytes AsfFile(const std::string& tail)
{
    Bytes b = {0x41, 0x53, 0x46, 0x1A, 0, 0, 0, 0};
    b.resize(20, 'x');
    b.insert(b.end(), tail.begin(), tail.end());
    return b;
}

// Runs step with the console captured.
template <typename F> std::string Console(F step)
{
    test::ConsoleCapture capture;
    capture.Start();
    step();
    return capture.Stop();
}

// One adapter in the run state, "Test Adapter" with PCI id AdapterId and
// MAC 001122AABBCC, nothing installed and nothing selected yet.
struct OneAdapter {
    std::unique_ptr<InstalledFirmware> installed = std::make_unique<InstalledFirmware>();
    std::unique_ptr<ImageSelection> selection = std::make_unique<ImageSelection>();

    void Install()
    {
        gRun = {};
        *installed = {};
        *selection = {};
        gRun.Installed = installed.get();
        gRun.Selections = selection.get();
        gRun.AdapterCount = 1;
        std::strcpy(installed->Name, "Test Adapter");
        std::strcpy(installed->MacText, "001122AABBCC");
        installed->VendorId = 0x1A2B;
        installed->DeviceId = 0x3C4D;
        installed->SubsystemVendorId = 0x5E6F;
        installed->SubsystemId = 0x7A8B;
    }

    void Boot(uint32_t major, uint32_t minor, uint32_t build)
    {
        installed->InstalledFlags |= InstBootCodeVersion;
        installed->BootCodeMajor = major;
        installed->BootCodeMinor = minor;
        installed->BootCodeBuild = build;
    }
};

} // namespace catalogtest
