// LINEAR11 comparison and the command attribute table that decides how each
// script record is played.
#include "board/pmbus_commands.h"

#include <gtest/gtest.h>

#include <initializer_list>

namespace {

// A LINEAR11 word: 11-bit mantissa, 5-bit two's-complement exponent.
std::uint16_t linear11(unsigned mantissa, int exponent) {
    return static_cast<std::uint16_t>((static_cast<unsigned>(exponent) & 0x1FU) << 11 |
                                      (mantissa & 0x7FFU));
}

TEST(PmbusLinear11Equal, SameNumberInDifferentEncodingsIsEqual) {
    EXPECT_TRUE(pmbus_linear11_equal(linear11(2, -1), linear11(1, 0)));
    EXPECT_TRUE(pmbus_linear11_equal(linear11(40, -2), linear11(20, -1)));
    EXPECT_TRUE(pmbus_linear11_equal(linear11(40, -2), linear11(10, 0)));
    EXPECT_TRUE(pmbus_linear11_equal(linear11(5, 3), linear11(40, 0)));
    EXPECT_TRUE(pmbus_linear11_equal(linear11(1, -6), linear11(1024, -16)));
    EXPECT_TRUE(pmbus_linear11_equal(linear11(3, -9), linear11(3, -9)));
}

TEST(PmbusLinear11Equal, DifferentNumbersAreNotEqual) {
    EXPECT_FALSE(pmbus_linear11_equal(linear11(3, -1), linear11(1, 0)));
    EXPECT_FALSE(pmbus_linear11_equal(linear11(40, -2), linear11(40, -3)));
    EXPECT_FALSE(pmbus_linear11_equal(linear11(2047, -16), linear11(1, 15)));
    EXPECT_FALSE(pmbus_linear11_equal(linear11(1, -16), linear11(0, 0)));
}

TEST(PmbusLinear11Equal, ExtremeExponentsCompareWithoutOverflow) {
    // 2047 * 2^15 against 2047 * 2^-16 spans 31 bits of scaling.
    EXPECT_FALSE(pmbus_linear11_equal(linear11(2047, 15), linear11(2047, -16)));
    EXPECT_TRUE(pmbus_linear11_equal(linear11(1, 15), linear11(1024, 5)));
    EXPECT_TRUE(pmbus_linear11_equal(linear11(2047, 15), linear11(2047, 15)));
}

TEST(PmbusLinear11Equal, ZeroIsZeroWhateverItsExponent) {
    EXPECT_TRUE(pmbus_linear11_equal(linear11(0, 5), linear11(0, -3)));
    EXPECT_TRUE(pmbus_linear11_equal(linear11(0, -16), 0));
}

TEST(PmbusLinear11Equal, MantissaIsTakenAsUnsigned) {
    // 1024 would be -1024 in two's complement; here it is 2 * 512.
    EXPECT_TRUE(pmbus_linear11_equal(linear11(1024, 0), linear11(512, 1)));
    EXPECT_TRUE(pmbus_linear11_equal(linear11(2046, -1), linear11(1023, 0)));
}

TEST(PmbusCommandAttributes, AlwaysWrittenCommandsSkipTheFirstRead) {
    for (const std::uint8_t command : std::initializer_list<std::uint8_t>{0x00, 0x04, 0xD4}) {
        const PmbusCommandAttributes attributes = pmbus_command_attributes(command);
        EXPECT_EQ(attributes.kind, PMBUS_BYTE) << int{command};
        EXPECT_EQ(attributes.flags, PMBUS_READABLE | PMBUS_WRITTEN | PMBUS_WRITE_WITHOUT_READING);
    }
}

TEST(PmbusCommandAttributes, UnlistedAndStatusCommandsAreNotWritten) {
    for (const std::uint8_t command : std::initializer_list<std::uint8_t>{0x05, 0x8F, 0xFF}) {
        EXPECT_EQ(pmbus_command_attributes(command).kind, PMBUS_SKIPPED) << int{command};
        EXPECT_EQ(pmbus_command_attributes(command).flags, 0) << int{command};
    }
    for (const std::uint8_t command :
         std::initializer_list<std::uint8_t>{0x19, 0x79, 0x88, 0x20, 0xFD, 0xEC}) {
        EXPECT_EQ(pmbus_command_attributes(command).flags & PMBUS_WRITTEN, 0) << int{command};
    }
    EXPECT_EQ(pmbus_command_attributes(0xA0).kind, PMBUS_LINEAR11);
    EXPECT_EQ(pmbus_command_attributes(0xA0).flags, 0);
}

TEST(PmbusCommandAttributes, WrittenCommandsCarryTheirTransferKinds) {
    const struct {
        std::uint8_t command;
        std::uint8_t kind;
    } expected[] = {
        {0x03, PMBUS_SEND_ONLY},      {0x11, PMBUS_SEND_ONLY},      {0x01, PMBUS_BYTE},
        {0xE1, PMBUS_WORD},           {0x46, PMBUS_LINEAR11},       {0xF7, PMBUS_LINEAR11},
        {0x21, PMBUS_FIXED_EXPONENT}, {0xD1, PMBUS_FIXED_EXPONENT}, {0x9D, PMBUS_BLOCK},
        {0xD5, PMBUS_BLOCK_VENDOR},   {0xF4, PMBUS_BLOCK_VENDOR},
    };
    int written = 0;
    for (int command = 0; command < 256; ++command) {
        const PmbusCommandAttributes attributes =
            pmbus_command_attributes(static_cast<std::uint8_t>(command));
        written += (attributes.flags & PMBUS_WRITTEN) != 0 ? 1 : 0;
    }
    EXPECT_EQ(written, 6 + 19 + 3 + 1 + 42 + 13 + 6 + 10);
    for (const auto& entry : expected) {
        const PmbusCommandAttributes attributes = pmbus_command_attributes(entry.command);
        EXPECT_EQ(attributes.kind, entry.kind) << int{entry.command};
        EXPECT_NE(attributes.flags & PMBUS_WRITTEN, 0) << int{entry.command};
        EXPECT_EQ(attributes.flags & PMBUS_WRITE_WITHOUT_READING, 0) << int{entry.command};
    }
}

}  // namespace
