// The USB controller's side of the vendor requests: the on-board serial bus
// (boot EEPROM and power supplies), EEPROM access, FPGA status and
// configuration, and the two-step restart.
#include <algorithm>

#include "sim/instrument.h"
#include "sim/pmbus_commands.h"

namespace sim {
namespace {

constexpr std::uint8_t REQUEST_TYPE_IN = 0x80;
// Every request of the instrument is a vendor request to the device.
constexpr std::uint8_t REQUEST_TYPE_VENDOR_DEVICE = 0x40;
constexpr std::uint8_t REQUEST_TYPE_DIRECTION_CLEARED = 0x7F;
// While the EEPROM's write cycle runs, the controller polls the part for its
// acknowledge before the next access, for at most this long before it gives
// the request up with a stall.
constexpr std::uint64_t EEPROM_ACK_POLL_LIMIT_US = 20'000;
constexpr std::size_t CONFIG_REPLY_BYTES = 16;
constexpr std::uint8_t CONFIG_REFUSED = 0x01;
// What the serve functions return for a request that is stalled or not
// acknowledged on the serial bus: no bytes move.
constexpr int STALL = -1;

bool overlaps(const AddressRange& range, std::uint32_t first, std::size_t count) {
    return count > 0 && first <= range.last && first + count - 1 >= range.first;
}

}  // namespace

Instrument::ControlOutcome Instrument::control_transfer(const UsbSetupPacket& setup,
                                                        std::span<std::uint8_t> data,
                                                        std::uint64_t now_us) {
    const bool in = (setup.request_type & REQUEST_TYPE_IN) != 0;
    const auto buffer = data.first(std::min<std::size_t>(data.size(), setup.length));
    // The data stage moves exactly wLength bytes: a host whose buffer does not
    // match the length it announced gets a stall.
    const bool length_matches = in ? data.size() >= setup.length : data.size() == setup.length;
    TransferRecord record;
    record.kind = TransferKind::control;
    record.in = in;
    record.setup = setup;
    record.requested = buffer.size();
    record.start_us = now_us;
    if (!in) {
        record.data.assign(buffer.begin(), buffer.end());
    }
    const auto index = begin_transfer(std::move(record));
    if (!index) {
        return {0, config_.timing.transfer_us(0), true};
    }

    int served = STALL;
    std::uint64_t extra_us = 0;
    const bool fail = fire_keyed(faults_.control_fail, setup.request, faults_.rng);
    const bool short_reply = !fail && fire_keyed(faults_.control_short, setup.request, faults_.rng);
    if (!length_matches) {
        served = STALL;
    } else if (short_reply && !in) {
        served = static_cast<int>(buffer.size()) - 1;  // cut off, so not carried out
    } else if (!fail) {
        served = serve_request(setup, buffer, now_us, extra_us);
        if (short_reply && served > 0) {
            --served;
        }
    }
    const int bytes = std::max(served, 0);

    const std::uint64_t duration = config_.timing.transfer_us(buffer.size()) + extra_us;
    TransferRecord& entry = transfers_[*index];
    entry.transferred = static_cast<std::size_t>(bytes);
    if (in) {
        entry.data.assign(buffer.begin(), buffer.begin() + bytes);
    }
    entry.status = served >= 0 ? TransferStatus::completed : TransferStatus::failed;
    entry.end_us = now_us + duration;
    // A host-to-device request cut short was not carried out: the host sees it fail.
    const bool failed = served < 0 || (!in && static_cast<std::size_t>(served) != buffer.size());
    return {bytes, duration, failed};
}

int Instrument::serve_request(const UsbSetupPacket& setup, std::span<std::uint8_t> data,
                              std::uint64_t now_us, std::uint64_t& extra_us) {
    const bool in = (setup.request_type & REQUEST_TYPE_IN) != 0;
    if ((setup.request_type & REQUEST_TYPE_DIRECTION_CLEARED) != REQUEST_TYPE_VENDOR_DEVICE) {
        return STALL;
    }
    // Without firmware only the controller's own firmware-load request is
    // answered; with firmware, only the firmware's requests.
    if (state_ == ControllerState::bare) {
        return setup.request == VREQ_FIRMWARE_LOAD ? serve_firmware_load(setup, data, now_us)
                                                   : STALL;
    }
    switch (setup.request) {
        case VREQ_BUS_TRANSFER:
            return serve_bus_transfer(setup, data, now_us, extra_us);
        case VREQ_BUS_ACCESS:
            if (!in) {
                return STALL;
            }
            eeprom_access_ = setup.value != 0;
            std::fill(data.begin(), data.end(), std::uint8_t{0});
            return static_cast<int>(std::min<std::size_t>(data.size(), 1));
        case VREQ_FPGA_STATUS: {
            if (!in) {
                return STALL;
            }
            std::fill(data.begin(), data.end(), std::uint8_t{0});
            const std::uint8_t status = fpga_.poll_status();
            if (data.size() > 2) {
                data[2] = status;
            }
            return static_cast<int>(std::min<std::size_t>(data.size(), CONFIG_REPLY_BYTES));
        }
        case VREQ_FPGA_CONFIG:
            return in ? serve_fpga_config(setup, data, now_us) : 0;
        case VREQ_RESTART_1:
        case VREQ_RESTART_2:
            if (in) {
                return STALL;
            }
            serve_restart(setup.request, now_us);
            return static_cast<int>(data.size());
        default:
            return STALL;  // the controller stalls requests it does not know
    }
}

int Instrument::serve_bus_transfer(const UsbSetupPacket& setup, std::span<std::uint8_t> data,
                                   std::uint64_t now_us, std::uint64_t& extra_us) {
    const bool in = (setup.request_type & REQUEST_TYPE_IN) != 0;
    const auto operation = static_cast<std::uint16_t>(setup.value & 0xFF00);
    const auto address = static_cast<std::uint8_t>(setup.value & 0xFF);
    if (address == BUS_ADDRESS_EEPROM) {
        if (operation == BUS_EEPROM_READ && in) {
            return serve_eeprom(false, setup.index, data, now_us, extra_us);
        }
        if (operation == BUS_EEPROM_WRITE && !in) {
            return serve_eeprom(true, setup.index, data, now_us, extra_us);
        }
        return STALL;
    }
    if (address != BUS_ADDRESS_SUPPLY_A && address != BUS_ADDRESS_SUPPLY_B) {
        return STALL;  // nobody answers at that address
    }
    const bool write = operation == BUS_PMBUS_WRITE && !in;
    if (!write && !(operation == BUS_PMBUS_READ && in)) {
        return STALL;
    }
    extra_us += config_.timing.pmbus_transaction_us;
    return serve_supply(address == BUS_ADDRESS_SUPPLY_A ? 0 : 1, write,
                        static_cast<std::uint8_t>(setup.index & 0xFF), data, now_us);
}

// Writes need access opened with request 183 first: the EEPROM stays write
// protected otherwise. While the part's write cycle runs it does not
// acknowledge; the controller polls until it does.
int Instrument::serve_eeprom(bool write, std::uint16_t address, std::span<std::uint8_t> data,
                             std::uint64_t now_us, std::uint64_t& extra_us) {
    if (eeprom_busy_until_us_ > now_us) {
        const std::uint64_t wait = eeprom_busy_until_us_ - now_us;
        if (wait > EEPROM_ACK_POLL_LIMIT_US) {
            extra_us += EEPROM_ACK_POLL_LIMIT_US;
            return STALL;
        }
        extra_us += wait;
    }
    if (write) {
        const bool refused =
            faults_.eeprom_write_nack && overlaps(*faults_.eeprom_write_nack, address, data.size());
        if (!eeprom_access_ || refused) {
            return STALL;
        }
        std::vector<std::uint8_t> stored(data.begin(), data.end());
        if (faults_.eeprom_write_lost.fire(faults_.rng)) {
            for (std::uint8_t& byte : stored) {
                byte = static_cast<std::uint8_t>(~byte);
            }
        }
        if (address >= EEPROM_SIZE) {
            return STALL;
        }
        // Power lost in the middle of a page write: the datasheets leave the
        // page undefined; the plausible worst is that only its first bytes
        // were stored.
        if (faults_.power_loss_at_eeprom_write == eeprom_writes_++) {
            faults_.power_loss_at_eeprom_write.reset();
            stored.resize(std::min(stored.size(), faults_.eeprom_cut_prefix_bytes));
            eeprom_.page_write(address, stored);
            lose_power(now_us);
            return STALL;
        }
        eeprom_.page_write(address, stored);
        eeprom_busy_until_us_ = now_us + extra_us + config_.timing.transfer_us(data.size()) +
                                config_.timing.eeprom_chunk_write_us;
        return static_cast<int>(data.size());
    }
    if (address >= EEPROM_SIZE) {
        return STALL;
    }
    const std::size_t count = eeprom_.read(address, data);
    for (std::size_t i = 0; i < count; ++i) {
        const auto corrupted =
            faults_.eeprom_read_corruption.find(static_cast<std::uint16_t>(address + i));
        if (corrupted != faults_.eeprom_read_corruption.end()) {
            data[i] = corrupted->second;
        }
    }
    extra_us += config_.timing.eeprom_byte_read_us * count;
    return static_cast<int>(count);
}

// A supply busy with its non-volatile memory acknowledges its address but
// not a command byte: a write is refused, a read returns all ones (the bus
// idles high), as PMBus lets a busy device answer.
int Instrument::serve_supply(int which, bool write, std::uint8_t code,
                             std::span<std::uint8_t> data, std::uint64_t now_us) {
    PowerSupply& supply = supplies_[static_cast<std::size_t>(which)];
    std::uint64_t& busy_until = supply_busy_until_us_[static_cast<std::size_t>(which)];
    if (fire_keyed(faults_.pmbus_nack, code, faults_.rng)) {
        return STALL;
    }
    if (busy_until > now_us) {
        if (write) {
            return STALL;
        }
        std::fill(data.begin(), data.end(), std::uint8_t{0xFF});
        return static_cast<int>(data.size());
    }
    if (write && code == pmbus::STORE_DEFAULT_ALL && faults_.pmbus_store_ignored.fire(faults_.rng)) {
        return 0;  // acknowledged; the stored values stay as they were
    }
    const bool acknowledged = write ? supply.write(code, data) : supply.read(code, data);
    if (acknowledged && write && code == pmbus::STORE_DEFAULT_ALL) {
        busy_until = now_us + config_.timing.pmbus_store_us;
    } else if (acknowledged && write && code == pmbus::RESTORE_DEFAULT_ALL) {
        busy_until = now_us + config_.timing.pmbus_restore_us;
    }
    return acknowledged ? static_cast<int>(data.size()) : STALL;
}

int Instrument::serve_fpga_config(const UsbSetupPacket& setup, std::span<std::uint8_t> data,
                                  std::uint64_t now_us) {
    std::fill(data.begin(), data.end(), std::uint8_t{0});
    if (setup.index == FPGA_CONFIG_HALT) {
        halt_fpga(now_us);
    } else if (setup.index == FPGA_CONFIG_POWER_CYCLE) {
        // The board's supplies cycle; the USB controller stays on the bus.
        halt_fpga(now_us);
        for (PowerSupply& supply : supplies_) {
            supply.power_cycle();
        }
    } else {
        const std::uint32_t words = setup.value | std::uint32_t{setup.index} << 16;
        const bool accepted = (setup.index & 0xFF00) == 0 && fpga_.announce(words);
        if (accepted) {
            flash_core_.reset();
            in_stream_.drop_after(now_us);
        }
        if (data.size() > 1) {
            data[1] = accepted ? 0 : CONFIG_REFUSED;
        }
    }
    return static_cast<int>(std::min<std::size_t>(data.size(), CONFIG_REPLY_BYTES));
}

// Request 0xA0: reads and writes of internal RAM at wValue, and writes of
// CPUCS. Setting its bit 0 holds the 8051 in reset; clearing it releases the
// 8051, which runs what the RAM holds.
int Instrument::serve_firmware_load(const UsbSetupPacket& setup, std::span<std::uint8_t> data,
                                    std::uint64_t now_us) {
    const bool in = (setup.request_type & REQUEST_TYPE_IN) != 0;
    if (setup.value == CONTROLLER_CPUCS) {
        if (in || data.size() != 1) {
            return STALL;
        }
        const bool hold = (data[0] & 0x01) != 0;
        if (cpu_held_ && !hold) {
            release_8051(now_us);
        }
        cpu_held_ = hold;
        return 1;
    }
    if (!ControllerRam::holds(setup.value, data.size())) {
        return STALL;
    }
    if (in) {
        ram_.read(setup.value, data);
    } else {
        ram_.write(setup.value, data);
    }
    return static_cast<int>(data.size());
}

// A known firmware leaves the bus and comes back as the instrument; anything
// else runs astray and does not come back.
void Instrument::release_8051(std::uint64_t now_us) {
    ram_boot_ = run_from_ram(ram_, known_firmwares_);
    leave_at_us_ = now_us + config_.timing.restart_leave_us;
    back_at_us_ = *leave_at_us_ + config_.timing.restart_back_us;
}

// 198 arms the restart, 197 carries it out: the controller drops off the bus
// after a moment and comes back running what its EEPROM holds.
void Instrument::serve_restart(std::uint8_t request, std::uint64_t now_us) {
    if (request == VREQ_RESTART_1) {
        restart_armed_ = true;
        return;
    }
    if (!restart_armed_ || faults_.restart_does_not_leave) {
        return;
    }
    restart_armed_ = false;
    leave_at_us_ = now_us + config_.timing.restart_leave_us;
    back_at_us_ = *leave_at_us_ + config_.timing.restart_back_us;
}

}  // namespace sim
