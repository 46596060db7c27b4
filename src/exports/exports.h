// Byte-order, CRC and flash-address helpers. The adapter library resolves
// them from the executable by name, so they keep C linkage and these names.
#pragma once

#include <cstdint>

#define TIDEMARK_EXPORT __attribute__((visibility("default")))

extern "C" {
TIDEMARK_EXPORT uint16_t SwapByteU16(uint16_t value);
TIDEMARK_EXPORT uint32_t SwapByteU32(uint32_t value);
TIDEMARK_EXPORT uint32_t T3ComputeCrc32(const uint8_t* bytes, uint32_t length, uint32_t seed);
TIDEMARK_EXPORT uint32_t FlashPhysicalToLogicalAddress(uint32_t physical);
}
