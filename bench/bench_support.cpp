#include "bench_support.h"

#include <sys/mount.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "console/output.h"
#include "state/run_state.h"

namespace bench {

void EnterSandbox()
{
    std::ifstream in("/proc/self/mountinfo");
    std::stringstream mounts;
    mounts << in.rdbuf();
    for (const char* point : {" /opt ", " /var/opt ", " /usr/sbin ", " /run "}) {
        if (mounts.str().find(point) == std::string::npos) {
            std::fprintf(stderr, "run the benchmarks through tests/sandbox/sandbox.sh\n");
            std::exit(1);
        }
    }
    if (mount("bench-opt", "/opt", "tmpfs", 0, "size=512m") != 0)
        std::perror("tmpfs over the sandbox's /opt (going on with its folder)");
    std::filesystem::create_directories(WorkDir());
}

std::string WorkDir() { return "/opt/bench"; }

void WriteText(const std::string& path, const std::string& text)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes)
{
    WriteText(path, std::string(bytes.begin(), bytes.end()));
}

std::string CatalogText(size_t fillers, const std::vector<std::string>& matchingIds)
{
    std::string text;
    text.reserve((fillers + matchingIds.size()) * 48);
    char line[96];
    for (size_t i = 0; i < fillers; ++i) {
        std::snprintf(line, sizeof line, "14E4-%04zX-%04zX-%04zX image_%06zu.bin v1.%zu.%zu\n",
                      0x1000 + i % 0xE000, i % 0xFFFF, (i * 7) % 0xFFFF, i, i % 10, (i / 10) % 10);
        text += line;
    }
    for (const std::string& id : matchingIds)
        text += id + " wanted_image.bin v9.9.9\n";
    return text;
}

void ResetRunState()
{
    LogClose();
    std::free(gRun.Adapters);
    std::free(gRun.Installed);
    std::free(gRun.Selections);
    gRun = {};
}

} // namespace bench
