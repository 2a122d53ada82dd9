#pragma once
// The load records of a "C2" boot image, as the USB controller's boot loader
// reads them: after the 8-byte header (0xC2, vendor, product and device ids
// little-endian, a configuration byte), records of a 2-byte big-endian length
// (bits 0 to 9; bit 15 marks the last record; bits 10 to 14 are reserved), a
// 2-byte big-endian address, and the data. The last record writes CPUCS
// (0xE600) to start the 8051.
#include <cstdint>
#include <functional>
#include <span>

constexpr std::uint8_t C2_BOOT_MARKER = 0xC2;
constexpr std::size_t C2_HEADER_SIZE = 8;
constexpr std::size_t C2_RECORD_HEADER_SIZE = 4;
constexpr std::size_t C2_MAX_RECORD_LENGTH = 0x03FF;

struct C2Record {
    std::uint16_t address = 0;
    std::span<const std::uint8_t> data;
    std::size_t data_offset = 0;  // where the data lies in the image
    bool last = false;
};

// Calls visit with each record in order, up to and with the last one; visit
// returns false to end the walk. True when the walk reached the last record;
// false when the image has no C2 header, a record is malformed or cut short,
// or visit ended the walk. Every read stays inside the image.
bool c2_walk_records(std::span<const std::uint8_t> image,
                     const std::function<bool(const C2Record&)>& visit);
