// The adapter library's records and NVRAM words: a fake library serves what
// the input describes; discovery, the installed versions and the listing run
// on it.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "state/records.h"
#include "fake_bmapi.h"
#include "fuzz_support.h"
#include "main/modes.h"

namespace {

bool Ended(const char* text, size_t size) { return std::memchr(text, '\0', size) != nullptr; }

void CheckInstalled(const InstalledFirmware& nic)
{
    constexpr uint32_t RomKinds = InstPxeVersion | InstClpVersion | InstIscsiVersion;
    fuzz::Expect(std::popcount(nic.InstalledFlags & RomKinds) <= 1, "at most one option ROM kind");
    fuzz::Expect((nic.InstalledFlags & ~(RomKinds | InstBootCodeVersion)) == 0, "only inventory bits");
    fuzz::Expect(Ended(nic.Name, sizeof nic.Name) && Ended(nic.Description, sizeof nic.Description) &&
                     Ended(nic.InterfaceName, sizeof nic.InterfaceName) &&
                     Ended(nic.MacText, sizeof nic.MacText),
                 "texts end inside their fields");
    fuzz::Expect(nic.BootCodeMajor <= 9 && nic.BootCodeMinor <= 9 && nic.BootCodeBuild <= 9 &&
                     nic.PxeMajor <= 9 && nic.PxeMinor <= 9 && nic.PxeBuild <= 9,
                 "one digit per version component");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::FakeLibrary library = fuzz::DecodeLibrary(data, size);
    const size_t served = library.Adapters.size();
    fuzz::LoadFakeLibrary(std::move(library));

    fuzz::ResetRunState();
    const int status = ListInstalledFirmware();
    fuzz::Expect(status == StatusComplete || status == StatusRefused, "the listing's statuses");
    if (status == StatusComplete) {
        fuzz::Expect(fuzz::FakeLibraryClosed(), "a complete listing closes the library");
        fuzz::Expect(gRun.AdapterCount >= 1 && gRun.AdapterCount <= served, "adapters come from the library");
        for (uint32_t i = 0; i < gRun.AdapterCount; ++i)
            CheckInstalled(gRun.Installed[i]);
    }
    fuzz::ResetRunState();
    return 0;
}
