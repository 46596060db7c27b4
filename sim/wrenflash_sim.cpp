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

size_t EntryOffset(size_t entry) { return sim::NvramDirOffset + entry * sim::NvramDirEntrySize; }

// The kind and version of an option ROM, as "PXE 1.2.3"; false when it is none.
bool DescribeOptionRom(const uint8_t* rom, size_t size, sim::OptionRom& kind, Version& version,
                       std::string& text)
{
    kind = sim::OptionRomKindOf(rom, size);
    uint8_t major = 0, minor = 0, build = 0;
    const bool known = sim::OptionRomVersionOf(rom, size, major, minor, build);
    if (known)
        version = {major, minor, build};
    text = std::string(sim::OptionRomName(kind)) + " " + Text(version);
    return kind != sim::OptionRom::None && known;
}

// A free directory entry gets a new option ROM region behind the image.
bool AddRegion(std::vector<uint8_t>& nvram, sim::RomRegion& region)
{
    for (size_t i = 0; i < sim::NvramDirEntries; ++i) {
        const size_t entry = EntryOffset(i);
        if ((sim::GetBe32(nvram, entry + 4) & sim::DirLengthMask) != 0)
            continue;
        const size_t at = std::max(sim::NvramOptionRomOffset, (nvram.size() + 0xFF) & ~size_t(0xFF));
        const uint32_t typeWord = sim::GetBe32(nvram, entry + 4);
        sim::PutBe32(nvram, entry + 4,
                     (sim::DirClassOptionRom << sim::DirClassShift) | (typeWord & 0x00FFFFFF));
        sim::PutBe32(nvram, entry + 8, uint32_t(at));
        region.Entry = i;
        region.Offset = uint32_t(at);
        return true;
    }
    return false;
}

// The rom replaces the region; its directory entry takes the new length.
void WriteRegion(std::vector<uint8_t>& nvram, const sim::RomRegion& region, const std::vector<uint8_t>& rom)
{
    if (nvram.size() < region.Offset + rom.size())
        nvram.resize(region.Offset + rom.size(), 0xFF);
    std::memcpy(&nvram[region.Offset], rom.data(), rom.size());
    const size_t entry = EntryOffset(region.Entry);
    const uint32_t typeWord = sim::GetBe32(nvram, entry + 4);
    sim::PutBe32(nvram, entry + 4,
                 (typeWord & ~sim::DirLengthMask) | (uint32_t(rom.size()) & sim::DirLengthMask));
}

// Option ROM: the file replaces the region and the directory entry's length.
int ApplyOptionRom(std::vector<uint8_t>& nvram, const std::vector<uint8_t>& rom, bool force,
                   std::string& change)
{
    sim::OptionRom kind = sim::OptionRom::None;
    Version offered;
    std::string offeredText;
    if (rom.size() > sim::DirLengthMask ||
        !DescribeOptionRom(rom.data(), rom.size(), kind, offered, offeredText))
        return ExitBadImage;

    sim::RomRegion region;
    std::string installedText = "no option ROM";
    if (sim::FindOptionRomRegion(nvram, region)) {
        sim::OptionRom oldKind = sim::OptionRom::None;
        Version installed;
        DescribeOptionRom(&nvram[region.Offset], nvram.size() - region.Offset, oldKind, installed,
                          installedText);
        if (!force && (oldKind != kind || offered.Key() < installed.Key())) {
            change = offeredText + " would replace the installed " + installedText;
            return ExitDowngrade;
        }
        // The rest of a longer old region reads as erased.
        size_t oldEnd = std::min<size_t>(size_t(region.Offset) + region.Length, nvram.size());
        std::fill(nvram.begin() + std::ptrdiff_t(region.Offset), nvram.begin() + std::ptrdiff_t(oldEnd),
                  0xFF);
    } else if (!AddRegion(nvram, region)) {
        change = "no free directory entry for the option ROM";
        return ExitNvramWrite;
    }
    WriteRegion(nvram, region, rom);
    change = installedText + " -> " + offeredText;
    return ExitOk;
}

struct Request {
    std::string Mac;
    bool BootCode = false;
    bool Force = false;
    std::string ImagePath, BackupPath;
};

bool ParseCommandLine(int argc, char** argv, Request& request)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    request.Force = args.size() == 6 && args[2] == "-F";
    if (request.Force)
        args.erase(args.begin() + 2);
    if (args.size() != 5 || args[1] != "upgrade" || (args[2] != "-bc" && args[2] != "-mba"))
        return false;
    request.Mac = args[0];
    request.BootCode = args[2] == "-bc";
    request.ImagePath = args[3];
    request.BackupPath = args[4];
    return true;
}

// The NVRAM image of the fleet adapter with the MAC, and its path.
int LoadAdapterNvram(const std::string& mac, std::string& nvramPath, std::vector<uint8_t>& nvram)
{
    const char* dirEnv = std::getenv("BMAPI_SIM_DIR");
    if (dirEnv == nullptr || *dirEnv == '\0')
        return Fail(ExitNoFleet, "BMAPI_SIM_DIR is not set: the built-in fleet cannot be written");
    std::string dir = dirEnv;
    std::vector<sim::AdapterSpec> adapters;
    if (!sim::ReadAdapters(dir, adapters))
        return Fail(ExitNoFleet, "cannot read the fleet in " + dir);
    const auto adapter = std::find_if(adapters.begin(), adapters.end(), [&](const sim::AdapterSpec& a) {
        return strcasecmp(a.Mac.c_str(), mac.c_str()) == 0;
    });
    if (adapter == adapters.end())
        return Fail(ExitUnknownMac, "no adapter with MAC " + mac);
    nvramPath = dir + "/" + adapter->NvramFile;
    if (adapter->NvramFile.empty() || !sim::ReadFile(nvramPath, nvram) || !sim::IsNvramImage(nvram))
        return Fail(ExitNoFleet, "adapter " + mac + " has no readable NVRAM image");
    return ExitOk;
}

int ApplyImage(const Request& request, std::vector<uint8_t>& nvram, std::string& change)
{
    std::vector<uint8_t> image;
    if (!sim::ReadFile(request.ImagePath, image) || image.size() > MaxImageSize)
        return Fail(ExitBadImage, "cannot read the image " + request.ImagePath);
    int result = request.BootCode ? ApplyBootCode(nvram, image, request.Force, change)
                                  : ApplyOptionRom(nvram, image, request.Force, change);
    if (result == ExitBadImage)
        return Fail(result,
                    request.ImagePath + " is not a " +
                        (request.BootCode ? "boot code (NVRAM) image" : "PXE, CLP or iSCSI option ROM"));
    if (result == ExitDowngrade)
        return Fail(result, change + "; use -F to write it anyway");
    if (result != ExitOk)
        return Fail(result, request.Mac + ": " + change);
    return ExitOk;
}

} // namespace

int main(int argc, char** argv)
{
    Request request;
    if (!ParseCommandLine(argc, argv, request))
        return Fail(ExitUsage, "usage: wrenflash MAC upgrade [-F] -bc|-mba IMAGE BACKUP");
    std::string nvramPath;
    std::vector<uint8_t> nvram;
    if (int result = LoadAdapterNvram(request.Mac, nvramPath, nvram); result != ExitOk)
        return result;

    const std::vector<uint8_t> before = nvram;
    std::string change;
    if (int result = ApplyImage(request, nvram, change); result != ExitOk)
        return result;

    const std::string& backupPath = request.BackupPath;
    std::string backupDir = ParentDir(backupPath);
    if ((!backupDir.empty() && !sim::MakeDirs(backupDir)) || !sim::WriteFile(backupPath, before))
        return Fail(ExitBackup, "cannot write the backup " + backupPath);
    if (!sim::WriteFile(nvramPath, nvram))
        return Fail(ExitNvramWrite, "cannot write the NVRAM of " + request.Mac + " to " + nvramPath);
    std::printf("wrenflash: %s: %s, backup in %s\n", request.Mac.c_str(), change.c_str(), backupPath.c_str());
    return ExitOk;
}
