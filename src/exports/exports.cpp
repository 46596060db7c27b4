#include "exports/exports.h"

namespace {
constexpr uint32_t Crc32Polynomial = 0xEDB88320; // IEEE 802.3, reflected
constexpr uint32_t FlashPageSize = 264;
constexpr uint32_t FlashPageShift = 9;
constexpr uint32_t FlashByteMask = 0x1FF;
} // namespace

extern "C" {

uint16_t SwapByteU16(uint16_t value) { return static_cast<uint16_t>((value >> 8) | ((value & 0xFF) << 8)); }

uint32_t SwapByteU32(uint32_t value)
{
    return (value >> 24) | ((value >> 8) & 0xFF00) | ((value << 8) & 0xFF0000) | (value << 24);
}

// Bit by bit, without a table and without a final complement: callers seed
// with 0xFFFFFFFF and complement the result for the standard CRC-32.
uint32_t T3ComputeCrc32(const uint8_t* bytes, uint32_t length, uint32_t seed)
{
    uint32_t reg = seed;
    for (uint32_t i = 0; i < length; ++i) {
        uint32_t b = bytes[i];
        for (int bit = 0; bit < 8; ++bit) {
            if (((b ^ reg) & 1) != 0)
                reg = (reg >> 1) ^ Crc32Polynomial;
            else
                reg >>= 1;
            b >>= 1;
        }
    }
    return reg;
}

// Page-addressed flash (page number from bit 9, byte in page below) to a
// flat byte address. The byte field is not clamped to the page size.
uint32_t FlashPhysicalToLogicalAddress(uint32_t physical)
{
    return (physical >> FlashPageShift) * FlashPageSize + (physical & FlashByteMask);
}
}
