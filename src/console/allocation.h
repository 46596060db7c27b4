// Memory from the C allocator: zero-filled arrays whose failure is reported
// on the console and in the log, and the owner that frees them.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>

// Says that size bytes could not be had.
void ReportNoMemory(size_t size);

// A zero-filled array of count records, or nullptr after reporting that the
// memory could not be had.
void* AllocateZeroed(size_t count, size_t size);

// Memory from the C allocator, owned by the step that made it.
struct FreeDeleter {
    void operator()(void* memory) const { std::free(memory); }
};
template <typename T> using OwnedArray = std::unique_ptr<T[], FreeDeleter>;

template <typename T> OwnedArray<T> AllocateOwnedArray(size_t count)
{
    return OwnedArray<T>(static_cast<T*>(AllocateZeroed(count, sizeof(T))));
}
