#pragma once
// How each PMBus command of the supplies is written, read and compared.
#include <cstdint>

enum PmbusKind : std::uint8_t {
    PMBUS_SKIPPED = 0,    // not played
    PMBUS_SEND_ONLY = 1,  // no data; the value is a pause in milliseconds
    PMBUS_BYTE = 2,
    PMBUS_WORD = 3,
    PMBUS_LINEAR11 = 4,
    PMBUS_FIXED_EXPONENT = 5,  // exponent -12: 16-bit equality
    PMBUS_BLOCK = 6,
    PMBUS_BLOCK_VENDOR = 7,
};

enum PmbusFlag : std::uint8_t {
    PMBUS_READABLE = 1,
    PMBUS_WRITTEN = 2,
    PMBUS_WRITE_WITHOUT_READING = 4,  // still read back after the write
};

struct PmbusCommandAttributes {
    std::uint8_t kind = PMBUS_SKIPPED;
    std::uint8_t flags = 0;
};

PmbusCommandAttributes pmbus_command_attributes(std::uint8_t command);

// Commands the program sends besides the scripts.
constexpr std::uint8_t PMBUS_RESTORE_DEFAULT_ALL = 0x12;
constexpr std::uint8_t PMBUS_MFR_DATE = 0x9D;

// LINEAR11 values compared as numbers: an 11-bit unsigned mantissa times two
// to a signed 5-bit exponent, so different encodings of one number are equal.
bool pmbus_linear11_equal(std::uint16_t a, std::uint16_t b);
