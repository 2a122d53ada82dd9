#pragma once
// How long the instrument takes for what it does, on the virtual clock. All
// durations are in microseconds.
#include <cstddef>
#include <cstdint>

namespace sim {

struct Timing {
    // USB: every transfer costs a fixed round trip plus its bytes at the bus rate.
    std::uint64_t transfer_fixed_us = 0;
    std::uint64_t bus_bytes_per_second = 0;  // 0: bytes cost nothing

    // Flash core, per command.
    std::uint64_t identify_us = 0;
    std::uint64_t page_program_us = 0;       // one 256-byte page, overhead included
    std::uint64_t sector_erase_256k_us = 0;  // devices with 256 KiB sectors
    std::uint64_t sector_erase_64k_us = 0;   // devices with 64 KiB sectors
    std::uint64_t read_reply_us = 0;         // producing one read reply

    // On-board serial bus.
    std::uint64_t eeprom_chunk_write_us = 0;  // the EEPROM's write cycle after each write
    std::uint64_t eeprom_byte_read_us = 0;
    std::uint64_t pmbus_transaction_us = 0;
    // A supply busy with its non-volatile memory: STORE_DEFAULT_ALL and
    // RESTORE_DEFAULT_ALL (one such supply's command set asks to wait at least
    // 450 ms and 10 ms before the next command).
    std::uint64_t pmbus_store_us = 450'000;
    std::uint64_t pmbus_restore_us = 10'000;

    // Restart (requests 198, 197): the device leaves the bus after the first
    // delay and comes back after the second. Power loss: back after the third.
    std::uint64_t restart_leave_us = 0;
    std::uint64_t restart_back_us = 0;
    std::uint64_t power_restore_us = 0;

    // FPGA start-up after the last configuration word: status polls that still
    // show neither 0x02 nor 0x10, then polls that show 0x02 alone.
    std::uint32_t fpga_done_polls = 0;
    std::uint32_t fpga_startup_polls = 0;

    // Timings close to the real instrument's.
    static Timing realistic();
    // Everything at once, except what must stay ordered: a restarted device is
    // away for a moment, so that a host sees it leave and come back.
    static Timing instant();

    std::uint64_t bus_us(std::size_t bytes) const;
    std::uint64_t transfer_us(std::size_t bytes) const { return transfer_fixed_us + bus_us(bytes); }
};

}  // namespace sim
