#pragma once
// The commands the simulated power supplies know: how each is transferred
// (its kind), whether it can be written, and whether it is held per output
// page or once for the whole supply.
#include <cstdint>

namespace sim {

enum class PmbusKind : std::uint8_t {
    unknown = 0,  // not acknowledged
    send = 1,     // command only, no data
    byte = 2,
    word = 3,
    linear11 = 4,  // word, PMBus LINEAR11
    fixed12 = 5,   // word, fixed exponent -12
    block = 6,
    block_alt = 7,  // a block of the manufacturer-specific range
};

struct PmbusCommand {
    PmbusKind kind = PmbusKind::unknown;
    bool writable = false;
    bool paged = false;
};

namespace pmbus {
constexpr std::uint8_t PAGE = 0x00;
constexpr std::uint8_t CLEAR_FAULTS = 0x03;
constexpr std::uint8_t STORE_DEFAULT_ALL = 0x11;
constexpr std::uint8_t RESTORE_DEFAULT_ALL = 0x12;
constexpr std::uint8_t MFR_DATE = 0x9D;
// 0xD5 blocks are kept per value of 0xD4, which selects one of several tables.
constexpr std::uint8_t TABLE_SELECT = 0xD4;
constexpr std::uint8_t TABLE_DATA = 0xD5;
}  // namespace pmbus

PmbusCommand pmbus_command(std::uint8_t code);
// Data bytes of a byte or word command (1 or 2); 0 for the other kinds.
int pmbus_value_size(PmbusKind kind);
bool pmbus_is_block(PmbusKind kind);

}  // namespace sim
