// Firmware image files: whole-file reads and the versions they carry.
#pragma once

#include <cstdint>

struct ImageSelection;

inline constexpr uint32_t ImageFileMaximum = 0x100000;
// Zero bytes kept behind the data of every file buffer.
inline constexpr uint32_t ImageBufferSlack = 100;

// Returns 1 with a new buffer (length + ImageBufferSlack bytes, freed by the
// caller with free) or 0 with nothing to free.
int UtilReadFileMemAlloc(const char* path, uint32_t offset, uint32_t length, uint32_t maximum,
                         uint32_t* outLength, uint8_t** outBuffer);
// 0 when the file was read (found versions recorded in selection), 3 when not.
int ReadImageVersions(ImageSelection& selection, const char* path);
