// Image files: any bytes, read by ReadImageVersions through a path.
#include <cstddef>
#include <cstdint>

#include "state/records.h"
#include "catalog/image_file.h"
#include "fuzz_support.h"

namespace {

constexpr uint32_t VersionBits = SelBootCodeVersion | SelPxeVersion | SelIpmiVersion;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const fuzz::MemoryFile file("image");
    file.Fill(data, size);

    fuzz::ResetRunState();
    SetFlag(FlagSilent); // the size messages are not what is tested here

    static ImageSelection selection;
    selection = {};
    const int result = ReadImageVersions(selection, file.Path.c_str());
    fuzz::Expect(result == (size <= ImageFileMaximum ? 0 : 3), "a file within the maximum is read");
    fuzz::Expect((selection.SelectionFlags & ~VersionBits) == 0, "only version bits are set");
    fuzz::Expect(selection.BootCodePath[0] == '\0' && selection.PxePath[0] == '\0', "no path is written");
    return 0;
}
