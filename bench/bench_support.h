// What the benchmarks share: the sandbox they run in, their files and the
// reset of the global state.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// Exits unless /opt, /var/opt, /usr/sbin and /run (where the silent run
// takes its lock) are private mounts (run the benchmarks through
// tests/sandbox/sandbox.sh), then puts a memory file system over the
// sandbox's /opt, so that file system noise stays out.
void EnterSandbox();

// Folder for the benchmarks' own files, inside the sandbox's /opt.
std::string WorkDir();

void WriteText(const std::string& path, const std::string& text);
void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes);

// A catalog of entries lines "PCI-ID file version": fillers with other PCI
// ids, then the given ids (the matches at the end).
std::string CatalogText(size_t fillers, const std::vector<std::string>& matchingIds);

// Frees the per-adapter arrays and clears the global state.
void ResetRunState();

} // namespace bench
