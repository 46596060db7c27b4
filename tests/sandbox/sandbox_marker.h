// The marker tests/sandbox/sandbox.sh leaves in each directory it mounts over
// a fixed system path; the test binaries refuse to start without it.
#pragma once

#include <array>
#include <string_view>

namespace sandbox {

inline constexpr std::string_view MarkerName = ".tidemark-test-sandbox";
inline constexpr std::string_view MarkerText = "private mount of the tidemark test sandbox";
inline constexpr std::array<std::string_view, 4> GuardedDirs = {"/opt", "/var/opt", "/usr/sbin", "/run"};

} // namespace sandbox
