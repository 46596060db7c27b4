// Stand-in flashing tool. Writes images into the simulated adapters of the
// fleet directory named by BMAPI_SIM_DIR:
//
//   wrenflash MAC upgrade [-F] -bc IMAGE BACKUP    boot code from an NVRAM image
//   wrenflash MAC upgrade [-F] -mba IMAGE BACKUP   option ROM (PXE or CLP) file
//
// The adapter's NVRAM as it was goes to BACKUP first. Without -F an older
// image, or an option ROM of another kind than the installed one, is refused.
#include "fleet.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>
#include <tuple>
#include <vector>

namespace {

enum Exit {
    ExitOk = 0,
    ExitUsage = 1,
    ExitUnknownMac = 2,
    ExitBadImage = 3,
    ExitDowngrade = 4,
    ExitBackup = 5,
    ExitNvramWrite = 6,
    ExitNoFleet = 7,
};

constexpr size_t MaxImageSize = 0x100000;

struct Version {
    unsigned Major = 0, Minor = 0, Build = 0;
    auto Key() const { return std::tie(Major, Minor, Build); }
};

std::string Text(const Version& v)
{
    return std::to_string(v.Major) + "." + std::to_string(v.Minor) + "." + std::to_string(v.Build);
}

int Fail(int code, const std::string& message)
{
    std::fprintf(stderr, "wrenflash: %s\n", message.c_str());
    return code;
}

uint32_t TypeWord(const uint8_t* entry)
{
    return (uint32_t(entry[4]) << 24) | (uint32_t(entry[5]) << 16) | (uint32_t(entry[6]) << 8) | entry[7];
}

std::string ParentDir(const std::string& path)
{
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return {};
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

// Boot code: only the version bytes of the image are taken.
int ApplyBootCode(std::vector<uint8_t>& nvram, const std::vector<uint8_t>& image, bool force,
                  std::string& change)
{
    if (!sim::IsNvramImage(image))
        return ExitBadImage;
    const uint8_t* old = &nvram[sim::NvramBootCodeOffset];
    const uint8_t* neu = &image[sim::NvramBootCodeOffset];
    Version installed{old[0], old[1], old[2]}, offered{neu[0], neu[1], neu[2]};
    if (!force && offered.Key() < installed.Key()) {
        change = "boot code " + Text(offered) + " is older than the installed " + Text(installed);
        return ExitDowngrade;
    }
    std::memcpy(&nvram[sim::NvramBootCodeOffset], neu, 3);
    change = "boot code " + Text(installed) + " -> " + Text(offered);
    return ExitOk;
}

// Option ROM: the file replaces the region and the directory entry's length.
int ApplyOptionRom(std::vector<uint8_t>& nvram, const std::vector<uint8_t>& rom, bool force,
                   std::string& change)
{
    sim::OptionRom kind = sim::OptionRomKindOf(rom.data(), rom.size());
    Version offered;
    uint8_t major = 0, minor = 0, build = 0;
    if (kind == sim::OptionRom::None || rom.size() > sim::DirLengthMask ||
        !sim::OptionRomVersionOf(rom.data(), rom.size(), major, minor, build))
        return ExitBadImage;
    offered = {major, minor, build};
    std::string offeredText = std::string(sim::OptionRomName(kind)) + " " + Text(offered);

    sim::RomRegion region;
    std::string installedText = "no option ROM";
    if (sim::FindOptionRomRegion(nvram, region)) {
        const uint8_t* old = &nvram[region.Offset];
        size_t available = nvram.size() - region.Offset;
        sim::OptionRom oldKind = sim::OptionRomKindOf(old, available);
        Version installed;
        if (sim::OptionRomVersionOf(old, available, major, minor, build))
            installed = {major, minor, build};
        installedText = std::string(sim::OptionRomName(oldKind)) + " " + Text(installed);
        if (!force && (oldKind != kind || offered.Key() < installed.Key())) {
            change = offeredText + " would replace the installed " + installedText;
            return ExitDowngrade;
        }
        // The rest of a longer old region reads as erased.
        size_t oldEnd = std::min<size_t>(size_t(region.Offset) + region.Length, nvram.size());
        std::fill(nvram.begin() + region.Offset, nvram.begin() + oldEnd, 0xFF);
    } else {
        bool found = false;
        for (size_t i = 0; i < sim::NvramDirEntries && !found; ++i) {
            const uint8_t* entry = &nvram[sim::NvramDirOffset + i * sim::NvramDirEntrySize];
            if ((TypeWord(entry) & sim::DirLengthMask) == 0) {
                region.Entry = i;
                found = true;
            }
        }
        if (!found) {
            change = "no free directory entry for the option ROM";
            return ExitNvramWrite;
        }
        size_t at = std::max(sim::NvramOptionRomOffset, (nvram.size() + 0xFF) & ~size_t(0xFF));
        region.Offset = uint32_t(at);
        uint8_t* entry = &nvram[sim::NvramDirOffset + region.Entry * sim::NvramDirEntrySize];
        entry[4] = uint8_t(sim::DirClassOptionRom << 4);
        entry[8] = uint8_t(at >> 24);
        entry[9] = uint8_t(at >> 16);
        entry[10] = uint8_t(at >> 8);
        entry[11] = uint8_t(at);
    }
    if (nvram.size() < region.Offset + rom.size())
        nvram.resize(region.Offset + rom.size(), 0xFF);
    std::memcpy(&nvram[region.Offset], rom.data(), rom.size());
    uint8_t* entry = &nvram[sim::NvramDirOffset + region.Entry * sim::NvramDirEntrySize];
    uint32_t length = uint32_t(rom.size());
    entry[5] = uint8_t((entry[5] & 0xC0) | ((length >> 16) & 0x3F));
    entry[6] = uint8_t(length >> 8);
    entry[7] = uint8_t(length);
    change = installedText + " -> " + offeredText;
    return ExitOk;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    bool force = args.size() == 6 && args[2] == "-F";
    if (force)
        args.erase(args.begin() + 2);
    if (args.size() != 5 || args[1] != "upgrade" || (args[2] != "-bc" && args[2] != "-mba"))
        return Fail(ExitUsage, "usage: wrenflash MAC upgrade [-F] -bc|-mba IMAGE BACKUP");
    const std::string& mac = args[0];
    bool bootCode = args[2] == "-bc";
    const std::string& imagePath = args[3];
    const std::string& backupPath = args[4];

    const char* dirEnv = std::getenv("BMAPI_SIM_DIR");
    if (dirEnv == nullptr || *dirEnv == '\0')
        return Fail(ExitNoFleet, "BMAPI_SIM_DIR is not set: the built-in fleet cannot be written");
    std::string dir = dirEnv;
    std::vector<sim::AdapterSpec> adapters;
    if (!sim::ReadAdapters(dir, adapters))
        return Fail(ExitNoFleet, "cannot read the fleet in " + dir);
    const sim::AdapterSpec* adapter = nullptr;
    for (const sim::AdapterSpec& a : adapters) {
        if (strcasecmp(a.Mac.c_str(), mac.c_str()) == 0) {
            adapter = &a;
            break;
        }
    }
    if (adapter == nullptr)
        return Fail(ExitUnknownMac, "no adapter with MAC " + mac);
    std::string nvramPath = dir + "/" + adapter->NvramFile;
    std::vector<uint8_t> nvram;
    if (adapter->NvramFile.empty() || !sim::ReadFile(nvramPath, nvram) || !sim::IsNvramImage(nvram))
        return Fail(ExitNoFleet, "adapter " + mac + " has no readable NVRAM image");

    std::vector<uint8_t> image;
    if (!sim::ReadFile(imagePath, image) || image.size() > MaxImageSize)
        return Fail(ExitBadImage, "cannot read the image " + imagePath);

    const std::vector<uint8_t> before = nvram;
    std::string change;
    int result =
        bootCode ? ApplyBootCode(nvram, image, force, change) : ApplyOptionRom(nvram, image, force, change);
    if (result == ExitBadImage)
        return Fail(result, imagePath + " is not a " +
                                (bootCode ? "boot code (NVRAM) image" : "PXE, CLP or iSCSI option ROM"));
    if (result == ExitDowngrade)
        return Fail(result, change + "; use -F to write it anyway");
    if (result != ExitOk)
        return Fail(result, mac + ": " + change);

    std::string backupDir = ParentDir(backupPath);
    if ((!backupDir.empty() && !sim::MakeDirs(backupDir)) || !sim::WriteFile(backupPath, before))
        return Fail(ExitBackup, "cannot write the backup " + backupPath);
    if (!sim::WriteFile(nvramPath, nvram))
        return Fail(ExitNvramWrite, "cannot write the NVRAM of " + mac + " to " + nvramPath);
    std::printf("wrenflash: %s: %s, backup in %s\n", mac.c_str(), change.c_str(), backupPath.c_str());
    return ExitOk;
}
