#include <gtest/gtest.h>

#include <cstring>

#include "exports/exports.h"

TEST(Exports, ByteSwapsReverseAndUndoThemselves)
{
    EXPECT_EQ(SwapByteU16(0x1234), 0x3412);
    EXPECT_EQ(SwapByteU32(0x12345678u), 0x78563412u);
    for (uint32_t value : {0u, 1u, 0x80000001u, 0xDEADBEEFu, 0xFFFFFFFFu})
        EXPECT_EQ(SwapByteU32(SwapByteU32(value)), value);
    for (uint16_t value : {uint16_t{0}, uint16_t{0x00FF}, uint16_t{0xABCD}})
        EXPECT_EQ(SwapByteU16(SwapByteU16(value)), value);
}

TEST(Exports, Crc32IsTheStandardOneWhenSeededAndComplemented)
{
    const char* digits = "123456789";
    uint32_t reg = T3ComputeCrc32(reinterpret_cast<const uint8_t*>(digits), 9, 0xFFFFFFFF);
    EXPECT_EQ(reg, 0x340BC6D9u);
    EXPECT_EQ(~reg, 0xCBF43926u);
    EXPECT_EQ(T3ComputeCrc32(nullptr, 0, 0x12345678), 0x12345678u);
    // Chaining two halves gives the same register as one pass.
    const auto* bytes = reinterpret_cast<const uint8_t*>(digits);
    EXPECT_EQ(T3ComputeCrc32(bytes + 4, 5, T3ComputeCrc32(bytes, 4, 0xFFFFFFFF)), reg);
}

TEST(Exports, FlashAddressesUse264BytePages)
{
    EXPECT_EQ(FlashPhysicalToLogicalAddress(0x200), 0x108u);
    EXPECT_EQ(FlashPhysicalToLogicalAddress(0x1FF), 0x1FFu);
    EXPECT_EQ(FlashPhysicalToLogicalAddress(0x3FF), 0x307u);
    EXPECT_EQ(FlashPhysicalToLogicalAddress(0xFFFFFFFF), 0x840000F7u);
    EXPECT_EQ(FlashPhysicalToLogicalAddress(0), 0u);
}
