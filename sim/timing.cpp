#include "sim/timing.h"

namespace sim {

Timing Timing::realistic() {
    Timing timing;
    timing.transfer_fixed_us = 125;
    timing.bus_bytes_per_second = 40'000'000;
    timing.identify_us = 20;
    timing.page_program_us = 700;
    timing.sector_erase_256k_us = 900'000;
    timing.sector_erase_64k_us = 300'000;
    timing.read_reply_us = 60;
    timing.eeprom_chunk_write_us = 5'000;
    timing.eeprom_byte_read_us = 23;  // nine clocks per byte at 400 kHz
    timing.pmbus_transaction_us = 300;
    timing.restart_leave_us = 500'000;
    timing.restart_back_us = 3'000'000;
    timing.power_restore_us = 3'000'000;
    timing.fpga_done_polls = 1;
    timing.fpga_startup_polls = 1;
    return timing;
}

Timing Timing::instant() {
    Timing timing;
    timing.restart_back_us = 1'000;
    timing.power_restore_us = 1'000;
    return timing;
}

std::uint64_t Timing::bus_us(std::size_t bytes) const {
    if (bus_bytes_per_second == 0) {
        return 0;
    }
    return std::uint64_t{bytes} * 1'000'000 / bus_bytes_per_second;
}

}  // namespace sim
