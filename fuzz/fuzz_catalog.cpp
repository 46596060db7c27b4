// Catalog files: the input is the text of all three catalogs; the selection
// steps search them for one adapter and every question is answered without
// asking. The catalog lies at its fixed path, so this runs in the sandbox.
#include <sys/mount.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "state/records.h"
#include "catalog/image_kinds.h"
#include "catalog/select.h"
#include "fleet.h"
#include "fuzz_support.h"

namespace {

namespace fs = std::filesystem;

// Images the catalog text can name in the PXE directory.
void WriteImages()
{
    sim::NvramSpec nvram;
    nvram.BootCodeMajor = 2, nvram.BootCodeMinor = 6;
    nvram.VendorId = 0x1A2B, nvram.DeviceId = 0x3C4D, nvram.SubsystemVendorId = 0x5E6F,
    nvram.SubsystemId = 0x7A8B;
    nvram.Rom = sim::OptionRom::Pxe, nvram.RomMajor = 1, nvram.RomMinor = 6;
    const std::string dir = PxeCatalogDir;
    sim::WriteFile(dir + "nvram.bin", sim::BuildNvramImage(nvram));
    sim::WriteFile(dir + "pxe.rom", sim::BuildOptionRomFile(sim::OptionRom::Pxe, 1, 4, 2));
    sim::WriteFile(dir + "clp.rom", sim::BuildOptionRomFile(sim::OptionRom::Clp, 3, 2, 0));
    fs::create_directories(dir + "folder");
}

void WriteCatalog(const char* path, const uint8_t* data, size_t size)
{
    FILE* file = std::fopen(path, "w");
    if (file == nullptr || std::fwrite(data, 1, size, file) != size || std::fclose(file) != 0) {
        std::perror(path);
        std::abort();
    }
}

// The adapter: its installed kinds and the answer mode come from the first
// input byte.
void SetUpAdapter(uint8_t mode)
{
    constexpr uint32_t AnswerModes[] = {FlagSilent, FlagSilent | FlagForce, FlagAssumeDefault, FlagSilent};
    SetFlag(AnswerModes[mode & 3]);

    gRun.AdapterCount = 1;
    gRun.Installed = static_cast<InstalledFirmware*>(std::calloc(1, sizeof(InstalledFirmware)));
    gRun.Selections = static_cast<ImageSelection*>(std::calloc(1, sizeof(ImageSelection)));
    InstalledFirmware& nic = *gRun.Installed;
    std::strcpy(nic.Name, "Fuzz Adapter");
    std::strcpy(nic.MacText, "001122AABBCC");
    nic.VendorId = 0x1A2B, nic.DeviceId = 0x3C4D, nic.SubsystemVendorId = 0x5E6F, nic.SubsystemId = 0x7A8B;
    constexpr uint32_t Kinds[] = {InstBootCodeVersion, InstPxeVersion, InstClpVersion, InstIscsiVersion};
    for (size_t i = 0; i < std::size(Kinds); ++i)
        if (mode & (4u << i))
            nic.InstalledFlags |= Kinds[i];
    if (nic.InstalledFlags == 0)
        nic.InstalledFlags = InstBootCodeVersion | InstPxeVersion;
    nic.BootCodeMajor = 2, nic.BootCodeMinor = 0, nic.BootCodeBuild = 0;
    nic.PxeMajor = 1, nic.PxeMinor = 5, nic.PxeBuild = 0;
    nic.ClpMajor = 3, nic.ClpMinor = 1, nic.ClpBuild = 2;
}

// An accepted image has a path inside its catalog directory.
void CheckAccepted(const ImageSelection& s, uint32_t bit, const char* path, const char* dir)
{
    fuzz::Expect(std::memchr(path, '\0', PathFieldSize) != nullptr, "the path field is ended");
    if (s.SelectionFlags & bit)
        fuzz::Expect(std::strncmp(path, dir, std::strlen(dir)) == 0, "an accepted image lies in its catalog");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::RequireSandbox();
    // The catalogs are rewritten for every input: keep them in memory. Where
    // that is not allowed, the sandbox's own folder serves, only slower.
    if (mount("fuzz-opt", "/opt", "tmpfs", 0, "size=64m") != 0)
        std::perror("tmpfs over the sandbox's /opt");
    for (const char* dir : {BootCodeCatalogDir, PxeCatalogDir, ClpCatalogDir})
        fs::create_directories(dir);
    WriteImages();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    for (const char* catalog : {BootCodeCatalogFile, PxeCatalogFile, ClpCatalogFile})
        WriteCatalog(catalog, data + 1, size - 1);

    fuzz::ResetRunState();
    SetUpAdapter(data[0]);
    SelectBootCode();
    SelectPXE();
    SelectCLP();

    const ImageSelection& s = *gRun.Selections;
    CheckAccepted(s, SelBootCodeAccepted, s.BootCodePath, BootCodeCatalogDir);
    CheckAccepted(s, SelPxeAccepted, s.PxePath, PxeCatalogDir);
    CheckAccepted(s, SelClpAccepted, s.ClpPath, ClpCatalogDir);
    fuzz::Expect(!HasFlag(FlagUserQuit), "no question was asked, so nobody quit");
    fuzz::ResetRunState();
    return 0;
}
