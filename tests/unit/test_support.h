// Helpers for in-process tests: captured console, fed standard input, files.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "state/run_state.h"

namespace test {

// Redirects standard output (or the descriptor Fd) into a file until Stop,
// which returns the bytes.
struct ConsoleCapture {
    int Fd = 1;
    int SavedFd = -1;
    std::string Path;

    void Start()
    {
        char name[] = "/tmp/tidemark-console.XXXXXX";
        int fd = mkstemp(name);
        Path = name;
        std::fflush(stdout);
        SavedFd = dup(Fd);
        dup2(fd, Fd);
        close(fd);
    }

    std::string Stop()
    {
        std::fflush(stdout);
        dup2(SavedFd, Fd);
        close(SavedFd);
        std::ifstream in(Path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        unlink(Path.c_str());
        return text.str();
    }
};

// A new folder under the test's /tmp (private to its sandbox); empty when
// none could be made.
inline std::string MakeTempDir(const std::string& prefix)
{
    std::string name = "/tmp/tidemark-" + prefix + ".XXXXXX";
    return mkdtemp(name.data()) != nullptr ? name : std::string();
}

// Standard input reads exactly these bytes, then end of input.
inline void FeedStdin(const std::string& bytes)
{
    char name[] = "/tmp/tidemark-stdin.XXXXXX";
    int fd = mkstemp(name);
    if (fd >= 0) {
        [[maybe_unused]] ssize_t n = write(fd, bytes.data(), bytes.size());
        close(fd);
    }
    if (std::freopen(name, "r", stdin) == nullptr)
        std::perror("freopen");
    unlink(name);
}

// Frees the per-adapter arrays that discovery and the installed-version step
// made (a run keeps them until it exits) and clears the state.
inline void ReleaseRunState()
{
    std::free(gRun.Adapters);
    std::free(gRun.Installed);
    std::free(gRun.Selections);
    gRun = {};
}

inline bool FileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

inline std::string ReadText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void WriteText(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

} // namespace test
