#include "sim/pmbus_commands.h"

#include <array>
#include <initializer_list>

namespace sim {
namespace {

struct Group {
    PmbusKind kind;
    bool writable;
    std::initializer_list<std::uint8_t> codes;
};

// Commands held once per supply rather than per output: the page register,
// the actions, capability and revision, the manufacturer information blocks
// (the date among them is the version of the whole setup), the input and
// switching settings, and the controller's device-wide manufacturer settings
// (phase mode, fault mask, sequencing, tracking, GPIO). Everything else is
// per output, so it lands on the page selected when it is written.
bool held_per_supply(std::uint8_t code) {
    switch (code) {
        case 0x00:  // PAGE
        case 0x03:  // CLEAR_FAULTS
        case 0x11:  // STORE_DEFAULT_ALL
        case 0x12:  // RESTORE_DEFAULT_ALL
        case 0x19:  // CAPABILITY
        case 0x33:  // FREQUENCY_SWITCH
        case 0x35:  // VIN_ON
        case 0x36:  // VIN_OFF
        case 0x55:  // VIN_OV_FAULT_LIMIT
        case 0x56:  // VIN_OV_FAULT_RESPONSE
        case 0x57:  // VIN_OV_WARN_LIMIT
        case 0x58:  // VIN_UV_WARN_LIMIT
        case 0x59:  // VIN_UV_FAULT_LIMIT
        case 0x5A:  // VIN_UV_FAULT_RESPONSE
        case 0x98:  // PMBUS_REVISION
        case 0x99:
        case 0x9A:
        case 0x9B:
        case 0x9C:
        case 0x9D:
        case 0x9E:
        case 0xD8:
        case 0xE1:
        case 0xE2:
        case 0xE3:
        case 0xE9:
            return true;
        default:
            return false;
    }
}

std::array<PmbusCommand, 256> build_table() {
    const Group groups[] = {
        {PmbusKind::send, true, {0x03, 0x11, 0x12, 0xD9, 0xDB, 0xF0}},
        {PmbusKind::byte,
         false,
         {0x19, 0x78, 0x7A, 0x7B, 0x7C, 0x7D, 0x7E, 0x7F, 0x80, 0x81, 0x82, 0x98}},
        {PmbusKind::byte, true, {0x01, 0x02, 0x3A, 0x41, 0x45, 0x47, 0x49, 0x4C, 0x50, 0x56, 0x5A,
                                 0x63, 0xD6, 0xD8, 0xDA, 0xDE, 0xE6, 0xED, 0xFC, 0x00, 0x04, 0xD4}},
        {PmbusKind::word, false, {0x79}},
        {PmbusKind::word, true, {0xE1}},
        {PmbusKind::linear11,
         false,
         {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0x88, 0x89, 0x8C, 0x8D, 0x8E,
          0x90, 0x94, 0x96, 0x97}},
        {PmbusKind::linear11,
         true,
         {0x27, 0x29, 0x2A, 0x32, 0x33, 0x35, 0x36, 0x38, 0x39, 0x3B, 0x46, 0x4A, 0x4B, 0x4F,
          0x51, 0x55, 0x57, 0x58, 0x59, 0x60, 0x61, 0x62, 0x64, 0x65, 0x66, 0xD0, 0xD3, 0xD7,
          0xDC, 0xDD, 0xDF, 0xE0, 0xE4, 0xE5, 0xE7, 0xE8, 0xEB, 0xEE, 0xEF, 0xF5, 0xF6, 0xF7}},
        {PmbusKind::fixed12, false, {0x20, 0x8B}},
        {PmbusKind::fixed12,
         true,
         {0x21, 0x23, 0x24, 0x25, 0x26, 0x40, 0x42, 0x43, 0x44, 0x48, 0x5E, 0x5F, 0xD1}},
        {PmbusKind::block, false, {0xFD}},
        {PmbusKind::block, true, {0x99, 0x9A, 0x9B, 0x9C, 0x9D, 0x9E}},
        {PmbusKind::block_alt, false, {0xEC}},
        {PmbusKind::block_alt, true, {0xD2, 0xD5, 0xE2, 0xE3, 0xE9, 0xEA, 0xF1, 0xF2, 0xF3, 0xF4}},
    };
    std::array<PmbusCommand, 256> table{};
    for (const Group& group : groups) {
        for (const std::uint8_t code : group.codes) {
            table[code] = PmbusCommand{group.kind, group.writable, !held_per_supply(code)};
        }
    }
    return table;
}

}  // namespace

PmbusCommand pmbus_command(std::uint8_t code) {
    static const std::array<PmbusCommand, 256> table = build_table();
    return table[code];
}

int pmbus_value_size(PmbusKind kind) {
    switch (kind) {
        case PmbusKind::byte:
            return 1;
        case PmbusKind::word:
        case PmbusKind::linear11:
        case PmbusKind::fixed12:
            return 2;
        default:
            return 0;
    }
}

bool pmbus_is_block(PmbusKind kind) {
    return kind == PmbusKind::block || kind == PmbusKind::block_alt;
}

}  // namespace sim
