// What every fuzz target shares: the sandbox check, the reset of the global
// state between inputs and in-memory files that have a path.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "console/output.h"
#include "state/run_state.h"

namespace fuzz {

// Targets that write the fixed system paths run only where /opt, /var/opt
// and /usr/sbin are private mounts, as tests/sandbox/sandbox.sh makes them.
inline void RequireSandbox()
{
    std::string mounts;
    if (FILE* file = std::fopen("/proc/self/mountinfo", "r")) {
        char chunk[4096];
        for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;)
            mounts.append(chunk, n);
        std::fclose(file);
    }
    for (const char* point : {" /opt ", " /var/opt ", " /usr/sbin "}) {
        if (mounts.find(point) == std::string::npos) {
            std::fprintf(stderr,
                         "refusing to run outside the sandbox: run it through tests/sandbox/sandbox.sh\n");
            std::exit(1);
        }
    }
}

// Frees the per-adapter arrays a run leaves behind and clears the state, so
// that every input starts as a fresh process would.
inline void ResetRunState()
{
    LogClose();
    std::free(gRun.Adapters);
    std::free(gRun.Installed);
    std::free(gRun.Selections);
    gRun = {};
}

// A file in memory that the code under test opens by its path.
struct MemoryFile {
    int Fd = -1;
    std::string Path;

    explicit MemoryFile(const char* name)
    {
        Fd = memfd_create(name, 0);
        if (Fd < 0) {
            std::perror("memfd_create");
            std::exit(1);
        }
        Path = "/proc/self/fd/" + std::to_string(Fd);
    }

    void Fill(const uint8_t* data, size_t size) const
    {
        if (ftruncate(Fd, 0) != 0 || (size > 0 && pwrite(Fd, data, size, 0) != static_cast<ssize_t>(size))) {
            std::perror("memory file");
            std::abort();
        }
    }
};

// A fault the code under test must never show: abort, so libFuzzer keeps
// the input.
inline void Expect(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "fuzz check failed: %s\n", what);
        std::abort();
    }
}

} // namespace fuzz
