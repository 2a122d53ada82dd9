#include "sim/instrument.h"

#include <algorithm>
#include <cstdio>

#include "sim/initial_contents.h"

namespace sim {

Instrument::Instrument(InstrumentConfig config, const ImageSet& images)
    : config_(std::move(config)),
      flashes_{NorFlash(config_.capacity_codes[0]), NorFlash(config_.capacity_codes[1])},
      supplies_{PowerSupply(BUS_ADDRESS_SUPPLY_A), PowerSupply(BUS_ADDRESS_SUPPLY_B)},
      fpga_(images.flash_core, config_.timing.fpga_done_polls, config_.timing.fpga_startup_polls),
      flash_core_(flashes_, in_stream_, config_.timing, faults_) {
    for (const auto& image : {std::vector<std::uint8_t>(images.usb_firmware.begin(),
                                                        images.usb_firmware.end()),
                              older_usb_firmware(images.usb_firmware)}) {
        if (auto firmware = known_firmware(image)) {
            known_firmwares_.push_back(std::move(*firmware));
        }
    }
    if (!config_.usb.serial) {
        char serial[16];
        std::snprintf(serial, sizeof serial, "OX%08d", static_cast<int>(config_.device_number));
        config_.usb.serial = serial;
    }
    flash_core_.set_read_reply_bytes(config_.read_reply_bytes);
    for (PowerSupply& supply : supplies_) {
        supply.set_linear11_reencoding(config_.linear11_reencoding);
    }
    load_initial_contents(flashes_, eeprom_, supplies_, images, config_.initial,
                          config_.device_number);
    boot();
}

std::optional<std::vector<std::uint8_t>> Instrument::descriptor(std::uint8_t type,
                                                                std::uint8_t index) const {
    return descriptor_for(config_.usb, identity_, type, index);
}

void Instrument::apply_supply_script(int supply, std::span<const std::uint8_t> script) {
    supplies_.at(static_cast<std::size_t>(supply)).apply_script(script);
}

// ---- lifecycle ----

void Instrument::reset_volatile() {
    fpga_.halt();
    flash_core_.reset();
    in_stream_.drop_after(std::nullopt);
    eeprom_access_ = false;
    restart_armed_ = false;
}

void Instrument::boot() {
    come_up(boot_from_eeprom(eeprom_.bytes(), known_firmwares_));
}

void Instrument::come_up(const BootOutcome& outcome) {
    reset_volatile();
    ram_.clear();
    ram_boot_.reset();
    cpu_held_ = true;
    state_ = outcome.state;
    identity_ = outcome.identity;
    present_ = state_ != ControllerState::hung;
    ++session_;
}

// After a restart or power loss the controller starts from its EEPROM; after
// the 8051 was released on a RAM load it runs what the RAM holds.
void Instrument::return_to_bus() {
    if (ram_boot_) {
        const BootOutcome outcome = *ram_boot_;  // come_up forgets it
        come_up(outcome);
    } else {
        boot();
    }
}

void Instrument::leave_bus() {
    reset_volatile();
    present_ = false;
}

// The FPGA stops; replies it has not produced yet never come, those already
// in the controller's buffer stay there.
void Instrument::halt_fpga(std::uint64_t now_us) {
    fpga_.halt();
    flash_core_.reset();
    in_stream_.drop_after(now_us);
}

void Instrument::lose_power(std::uint64_t now_us) {
    flash_core_.lose_power(now_us);
    leave_bus();
    for (PowerSupply& supply : supplies_) {
        supply.power_cycle();
    }
    leave_at_us_.reset();
    ram_boot_.reset();
    return_held_back_ = false;
    back_at_us_ = now_us + config_.timing.power_restore_us;
}

void Instrument::plug_in() {
    leave_at_us_.reset();
    back_at_us_.reset();
    ram_boot_.reset();
    return_held_back_ = false;
    if (!present_) {
        boot();
    }
}

void Instrument::unplug() {
    leave_at_us_.reset();
    back_at_us_.reset();
    return_held_back_ = false;
    leave_bus();
}

std::optional<std::uint64_t> Instrument::next_event_us() const {
    if (leave_at_us_) {
        return leave_at_us_;
    }
    return back_at_us_;
}

// A return held back by the fault happens as soon as the fault is cleared.
void Instrument::advance_to(std::uint64_t now_us) {
    if (leave_at_us_ && *leave_at_us_ <= now_us) {
        leave_at_us_.reset();
        leave_bus();
    }
    if (!leave_at_us_ && back_at_us_ && *back_at_us_ <= now_us) {
        back_at_us_.reset();
        return_held_back_ = faults_.restart_does_not_come_back;
        if (!return_held_back_) {
            return_to_bus();
        }
    }
    if (return_held_back_ && !faults_.restart_does_not_come_back) {
        return_held_back_ = false;
        return_to_bus();
    }
}

// ---- transfers ----

std::optional<std::size_t> Instrument::begin_transfer(TransferRecord record) {
    const std::size_t index = transfers_.size();
    const bool power_lost = faults_.power_loss_at_transfer == index;
    const bool host_gone = faults_.host_gone_from_transfer && index >= *faults_.host_gone_from_transfer;
    if (power_lost) {
        faults_.power_loss_at_transfer.reset();
    }
    if (power_lost || host_gone) {
        record.status = TransferStatus::failed;
        record.end_us = record.start_us;
    }
    transfers_.push_back(std::move(record));
    if (power_lost) {
        lose_power(transfers_.back().start_us);
    }
    if (power_lost || host_gone) {
        return std::nullopt;
    }
    return index;
}

void Instrument::end_transfer(std::size_t record, TransferStatus status, std::uint64_t time_us) {
    TransferRecord& entry = transfers_.at(record);
    entry.status = status;
    entry.end_us = time_us;
    // A read is not gone the moment the host cancels it: a packet the
    // controller sends within the next microframe still goes into it, and
    // with the cancelled transfer it is lost to the host.
    if (status == TransferStatus::aborted && entry.kind == TransferKind::bulk && entry.in) {
        in_stream_.lose_to_cancelled_read(time_us + CANCEL_TAKES_EFFECT_US);
    }
}

Instrument::WriteOutcome Instrument::bulk_write(std::uint8_t endpoint,
                                                std::span<const std::uint8_t> data,
                                                std::uint64_t now_us) {
    TransferRecord record;
    record.kind = TransferKind::bulk;
    record.endpoint = endpoint;
    record.requested = data.size();
    record.start_us = now_us;
    const auto index = begin_transfer(std::move(record));
    if (!index) {
        return {};
    }
    WriteOutcome outcome{true, data.size(), std::nullopt, *index};
    if (faults_.partial_write.fire(faults_.rng)) {
        outcome.accepted =
            std::min(data.size(), faults_.partial_write_bytes != 0 ? faults_.partial_write_bytes
                                                                   : data.size() / 2);
    }
    const auto accepted = data.first(outcome.accepted);
    const std::uint64_t arrival = now_us + config_.timing.transfer_us(accepted.size());
    // Without a design to take them, the endpoint's buffer stays full: the
    // write never completes.
    const bool taken =
        endpoint == PIPE_BULK_OUT && (fpga_.state() == Fpga::State::receiving || fpga_.running());
    if (taken) {
        const std::size_t configured = fpga_.receive(accepted);
        if (fpga_.running()) {
            flash_core_.receive(accepted.subspan(configured), arrival);
        }
        outcome.complete_us = arrival;
        TransferRecord& entry = transfers_[*index];
        entry.transferred = accepted.size();
        if (config_.record_bulk_data) {
            entry.data.assign(accepted.begin(), accepted.end());
        }
    }
    return outcome;
}

std::optional<std::size_t> Instrument::begin_bulk_read(std::uint8_t endpoint, std::size_t length,
                                                       std::uint64_t now_us) {
    TransferRecord record;
    record.kind = TransferKind::bulk;
    record.in = true;
    record.endpoint = endpoint;
    record.requested = length;
    record.start_us = now_us;
    return begin_transfer(std::move(record));
}

std::optional<std::uint64_t> Instrument::bulk_read_completion_us(std::uint8_t endpoint,
                                                                 std::size_t length,
                                                                 std::uint64_t started_us) const {
    const auto ready = in_stream_.next_ready_us();
    if (endpoint != PIPE_BULK_IN || length == 0 || !ready) {
        return std::nullopt;
    }
    const std::uint64_t at = std::max(*ready, started_us);
    const std::size_t count = faults_.max_bytes_per_read != 0
                                  ? std::min({length, faults_.max_bytes_per_read, in_stream_.queued()})
                                  : in_stream_.readable_at(at, length);
    return at + config_.timing.transfer_us(count);
}

std::size_t Instrument::complete_bulk_read(std::size_t record, std::span<std::uint8_t> out,
                                           std::uint64_t time_us) {
    TransferRecord& entry = transfers_.at(record);
    const std::uint64_t ready =
        std::min(std::max(in_stream_.next_ready_us().value_or(time_us), entry.start_us), time_us);
    const std::size_t count = faults_.max_bytes_per_read != 0
                                  ? in_stream_.take_cut(out, ready, faults_.max_bytes_per_read)
                                  : in_stream_.take(out, ready);
    entry.transferred = count;
    if (config_.record_bulk_data) {
        entry.data.assign(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(count));
    }
    entry.status = TransferStatus::completed;
    entry.end_us = time_us;
    return count;
}

}  // namespace sim
