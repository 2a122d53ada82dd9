#pragma once
// One simulated instrument: its USB identity and controller, boot EEPROM, two
// power supplies, FPGA with the flash core, and two NOR flash devices. The
// SimBackend drives it with the host's transfers at virtual times; tests set
// its faults and read its state. Everything the real hardware loses on a
// restart or power loss lives in the volatile parts, which are rebuilt then.
// Not thread-safe by itself: the SimBackend's lock guards it.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "device/usb.h"
#include "sim/boot_eeprom.h"
#include "sim/controller_boot.h"
#include "sim/faults.h"
#include "sim/flash_core.h"
#include "sim/fpga.h"
#include "sim/image_set.h"
#include "sim/in_stream.h"
#include "sim/nor_flash.h"
#include "sim/power_supply.h"
#include "sim/timing.h"
#include "sim/transfer_record.h"
#include "sim/usb_identity.h"

namespace sim {

struct InstrumentConfig {
    std::int32_t device_number = 1;
    std::string path;  // empty: the backend gives one by port when attaching
    UsbIdentityConfig usb;
    std::array<std::uint8_t, 2> capacity_codes{0x18, 0x18};
    std::uint32_t read_reply_bytes = FlashCore::DEFAULT_READ_REPLY_BYTES;
    bool linear11_reencoding = false;
    Timing timing = Timing::realistic();
    InitialState initial;
    bool record_bulk_data = true;  // keep every bulk byte in the transfer record
};

class Instrument {
  public:
    Instrument(InstrumentConfig config, const ImageSet& images);
    Instrument(const Instrument&) = delete;
    Instrument& operator=(const Instrument&) = delete;

    // ---- the bus side, driven by the SimBackend ----
    bool present() const { return present_; }
    // Present with the instrument's interface (it runs a firmware it knows).
    bool shows_interface() const { return present_ && state_ == ControllerState::instrument; }
    // Present as the bare controller (its EEPROM holds no boot image).
    bool bare() const { return present_ && state_ == ControllerState::bare; }
    // Runs what is no firmware: off the bus until power is removed, and at
    // the next power-up it starts from its EEPROM again.
    bool hung() const { return state_ == ControllerState::hung; }
    // What the controller would come up as if it started from its EEPROM now.
    ControllerState state_at_power_up() const {
        return boot_from_eeprom(eeprom_.bytes(), known_firmwares_).state;
    }
    // Changes every time the device comes onto the bus; handles of an earlier
    // session are dead.
    std::uint64_t session() const { return session_; }
    const std::string& path() const { return config_.path; }
    void set_path(std::string path) { config_.path = std::move(path); }
    const Timing& timing() const { return config_.timing; }
    std::optional<std::vector<std::uint8_t>> descriptor(std::uint8_t type,
                                                        std::uint8_t index) const;

    struct ControlOutcome {
        int bytes = 0;  // bytes transferred; 0 when the request failed
        std::uint64_t duration_us = 0;
        bool failed = false;  // stalled, not acknowledged, or cut off
    };
    ControlOutcome control_transfer(const UsbSetupPacket& setup, std::span<std::uint8_t> data,
                                    std::uint64_t now_us);

    struct WriteOutcome {
        bool started = false;
        std::size_t accepted = 0;
        std::optional<std::uint64_t> complete_us;  // nullopt: the endpoint never takes it
        std::size_t record = 0;
    };
    WriteOutcome bulk_write(std::uint8_t endpoint, std::span<const std::uint8_t> data,
                            std::uint64_t now_us);

    // A bulk read: begun (its record index; nullopt when it cannot start),
    // when it completes given what the IN stream will hold, and its completion.
    std::optional<std::size_t> begin_bulk_read(std::uint8_t endpoint, std::size_t length,
                                               std::uint64_t now_us);
    std::optional<std::uint64_t> bulk_read_completion_us(std::uint8_t endpoint, std::size_t length,
                                                         std::uint64_t started_us) const;
    std::size_t complete_bulk_read(std::size_t record, std::span<std::uint8_t> out,
                                   std::uint64_t time_us);
    // A cancelled (aborted) bulk read still takes a packet that is there
    // within one high-speed microframe of the cancel.
    static constexpr std::uint64_t CANCEL_TAKES_EFFECT_US = 125;
    void end_transfer(std::size_t record, TransferStatus status, std::uint64_t time_us);

    // Scheduled changes: leaving the bus and coming back. advance_to also
    // lets a return that a fault held back happen once the fault is cleared.
    std::optional<std::uint64_t> next_event_us() const;
    void advance_to(std::uint64_t now_us);
    bool return_held_back() const { return return_held_back_; }

    // ---- test controls ----
    Faults& faults() { return faults_; }
    // Loses power now: volatile state gone, supplies reload stored values; the
    // device is off the bus until power returns after the modelled delay.
    void lose_power(std::uint64_t now_us);
    // Plugs a device that is off the bus back in (it boots at once); unplugs it.
    void plug_in();
    void unplug();
    void set_read_reply_bytes(std::uint32_t bytes) { flash_core_.set_read_reply_bytes(bytes); }
    // Sets a supply (0: A at 0x34, 1: B at 0x35) to a script's settings,
    // working and stored.
    void apply_supply_script(int supply, std::span<const std::uint8_t> script);

    // ---- inspection ----
    NorFlash& flash(int device) { return flashes_.at(static_cast<std::size_t>(device)); }
    const NorFlash& flash(int device) const {
        return flashes_.at(static_cast<std::size_t>(device));
    }
    BootEeprom& eeprom() { return eeprom_; }
    const BootEeprom& eeprom() const { return eeprom_; }
    PowerSupply& supply(int which) { return supplies_.at(static_cast<std::size_t>(which)); }
    const PowerSupply& supply(int which) const {
        return supplies_.at(static_cast<std::size_t>(which));
    }
    const Fpga& fpga() const { return fpga_; }
    const FlashCore& flash_core() const { return flash_core_; }
    const InStream& in_stream() const { return in_stream_; }
    const BootIdentity& identity() const { return identity_; }
    bool eeprom_access_open() const { return eeprom_access_; }
    const std::vector<TransferRecord>& transfers() const { return transfers_; }
    std::int32_t device_number() const { return eeprom_.device_number(); }
    // EEPROM write requests that reached the part so far (the numbering of
    // Faults::power_loss_at_eeprom_write).
    std::size_t eeprom_write_count() const { return eeprom_writes_; }

  private:
    // Control requests (instrument_requests.cpp).
    int serve_request(const UsbSetupPacket& setup, std::span<std::uint8_t> data,
                      std::uint64_t now_us, std::uint64_t& extra_us);
    int serve_bus_transfer(const UsbSetupPacket& setup, std::span<std::uint8_t> data,
                           std::uint64_t now_us, std::uint64_t& extra_us);
    int serve_eeprom(bool write, std::uint16_t address, std::span<std::uint8_t> data,
                     std::uint64_t now_us, std::uint64_t& extra_us);
    int serve_supply(int which, bool write, std::uint8_t code, std::span<std::uint8_t> data,
                     std::uint64_t now_us);
    int serve_fpga_config(const UsbSetupPacket& setup, std::span<std::uint8_t> data,
                          std::uint64_t now_us);
    int serve_firmware_load(const UsbSetupPacket& setup, std::span<std::uint8_t> data,
                            std::uint64_t now_us);
    void release_8051(std::uint64_t now_us);
    void serve_restart(std::uint8_t request, std::uint64_t now_us);

    // Records the beginning of a transfer; nullopt when the instrument loses
    // power at it (the transfer then fails).
    std::optional<std::size_t> begin_transfer(TransferRecord record);
    void boot();
    void come_up(const BootOutcome& outcome);
    void return_to_bus();
    void leave_bus();
    void reset_volatile();
    void halt_fpga(std::uint64_t now_us);

    InstrumentConfig config_;
    Faults faults_;

    // The firmwares the controller runs: the carried one and the older one.
    std::vector<KnownFirmware> known_firmwares_;

    // Kept without power.
    std::array<NorFlash, 2> flashes_;
    BootEeprom eeprom_;
    std::array<PowerSupply, 2> supplies_;

    // Volatile.
    bool present_ = false;
    std::uint64_t session_ = 0;
    ControllerState state_ = ControllerState::bare;
    BootIdentity identity_;
    ControllerRam ram_;
    bool cpu_held_ = true;  // the 8051 in reset (CPUCS bit 0)
    // What the controller comes back as after the 8051 was released on a RAM
    // load; without it a return boots from the EEPROM.
    std::optional<BootOutcome> ram_boot_;
    std::size_t eeprom_writes_ = 0;  // write requests that reached the EEPROM
    Fpga fpga_;
    InStream in_stream_;
    FlashCore flash_core_;
    bool eeprom_access_ = false;
    std::uint64_t eeprom_busy_until_us_ = 0;  // the EEPROM's write cycle ends
    std::array<std::uint64_t, 2> supply_busy_until_us_{};  // a store or restore ends
    bool restart_armed_ = false;
    std::optional<std::uint64_t> leave_at_us_;
    std::optional<std::uint64_t> back_at_us_;
    bool return_held_back_ = false;  // restart_does_not_come_back kept it away

    std::vector<TransferRecord> transfers_;
};

}  // namespace sim
