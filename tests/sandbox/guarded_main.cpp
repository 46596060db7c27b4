// Entry point of every test binary. The tests write /opt, /var/opt, /usr/sbin
// and /run (catalogs, logs, stand-ins for rmmod, modprobe and ifconfig, the
// run lock), so
// a binary started outside tests/sandbox/sandbox.sh would change the
// machine: it refuses to start before any test or fixture runs.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "sandbox_marker.h"

namespace {

// Mount points from /proc/self/mountinfo (the fifth field of each line).
bool IsMountPoint(const std::string& mountinfo, std::string_view path)
{
    std::istringstream lines(mountinfo);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string field;
        for (int i = 0; i < 5 && fields >> field; ++i) {
        }
        if (field == path)
            return true;
    }
    return false;
}

// Each fixed path must be a mount point and hold the sandbox's marker: a
// machine may mount /opt of its own, but none carries the marker in all of them.
bool InsideSandbox(std::string& missing)
{
    std::ifstream in("/proc/self/mountinfo");
    std::stringstream text;
    text << in.rdbuf();
    for (std::string_view dir : sandbox::GuardedDirs) {
        const std::string marker = std::string(dir) + "/" + std::string(sandbox::MarkerName);
        std::ifstream file(marker);
        std::string content;
        std::getline(file, content);
        if (!IsMountPoint(text.str(), dir) || content != sandbox::MarkerText) {
            missing = std::string(dir);
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    std::string missing;
    if (!InsideSandbox(missing)) {
        std::fprintf(stderr,
                     "%s: refusing to start: %s is not the test sandbox's own.\n"
                     "The tests write /opt, /var/opt, /usr/sbin and /run; run them through ctest or\n"
                     "  tests/sandbox/sandbox.sh %s [--gtest_filter=...]\n",
                     argv[0], missing.c_str(), argv[0]);
        return 2;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
