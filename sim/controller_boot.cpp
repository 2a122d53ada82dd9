#include "sim/controller_boot.h"

#include <algorithm>

#include "images/c2_records.h"

namespace sim {
namespace {

constexpr std::uint16_t CPUCS_ADDRESS = 0xE600;
constexpr std::uint8_t CPUCS_8051_RESET = 0x01;

std::uint16_t le16(std::span<const std::uint8_t> bytes, std::size_t at) {
    return static_cast<std::uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

}  // namespace

ControllerRam::ControllerRam() : bytes_(MAIN_SIZE + SCRATCH_SIZE, 0), loaded_(bytes_.size(), false) {}

std::optional<std::size_t> ControllerRam::offset(std::uint32_t address, std::size_t count) {
    if (address < MAIN_SIZE && count <= MAIN_SIZE - address) {
        return address;
    }
    if (address >= SCRATCH_START && address - SCRATCH_START < SCRATCH_SIZE &&
        count <= SCRATCH_SIZE - (address - SCRATCH_START)) {
        return MAIN_SIZE + (address - SCRATCH_START);
    }
    return std::nullopt;
}

bool ControllerRam::holds(std::uint32_t address, std::size_t count) {
    return offset(address, count).has_value();
}

bool ControllerRam::write(std::uint32_t address, std::span<const std::uint8_t> bytes) {
    const auto at = offset(address, bytes.size());
    if (!at) {
        return false;
    }
    std::copy(bytes.begin(), bytes.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(*at));
    std::fill_n(loaded_.begin() + static_cast<std::ptrdiff_t>(*at), bytes.size(), true);
    return true;
}

bool ControllerRam::read(std::uint32_t address, std::span<std::uint8_t> out) const {
    const auto at = offset(address, out.size());
    if (!at) {
        return false;
    }
    std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(*at), out.size(), out.begin());
    return true;
}

bool ControllerRam::holds_loaded(const ControllerRam& firmware) const {
    for (std::size_t i = 0; i < bytes_.size(); ++i) {
        if (firmware.loaded_[i] && (!loaded_[i] || bytes_[i] != firmware.bytes_[i])) {
            return false;
        }
    }
    return true;
}

void ControllerRam::clear() {
    std::fill(bytes_.begin(), bytes_.end(), std::uint8_t{0});
    std::fill(loaded_.begin(), loaded_.end(), false);
}

std::optional<ControllerRam> load_c2_records(std::span<const std::uint8_t> image) {
    ControllerRam ram;
    bool starts = false;
    const bool whole = c2_walk_records(image, [&](const C2Record& record) {
        if (record.last) {
            // The last record starts the 8051 through CPUCS and nothing else.
            starts = record.address == CPUCS_ADDRESS && record.data.size() == 1 &&
                     (record.data[0] & CPUCS_8051_RESET) == 0;
            return starts;
        }
        return ram.write(record.address, record.data);
    });
    return whole && starts ? std::optional<ControllerRam>(std::move(ram)) : std::nullopt;
}

std::optional<KnownFirmware> known_firmware(std::span<const std::uint8_t> c2_image) {
    auto ram = load_c2_records(c2_image);
    if (!ram) {
        return std::nullopt;
    }
    return KnownFirmware{std::move(*ram),
                         {true, le16(c2_image, 1), le16(c2_image, 3), le16(c2_image, 5)}};
}

BootIdentity bare_controller_identity() {
    return {false, CONTROLLER_DEFAULT_VENDOR_ID, CONTROLLER_DEFAULT_PRODUCT_ID,
            CONTROLLER_DEFAULT_DEVICE_ID};
}

BootOutcome boot_from_eeprom(std::span<const std::uint8_t> eeprom,
                             std::span<const KnownFirmware> known) {
    if (eeprom.empty() || eeprom[0] != C2_BOOT_MARKER) {
        return {ControllerState::bare, bare_controller_identity()};
    }
    const auto ram = load_c2_records(eeprom);
    if (!ram) {
        return {ControllerState::hung, {}};
    }
    const BootOutcome running = run_from_ram(*ram, known);
    if (running.state != ControllerState::instrument) {
        return running;
    }
    // The firmware enumerates with the ids of the header it was loaded with.
    return {ControllerState::instrument,
            {true, le16(eeprom, 1), le16(eeprom, 3), le16(eeprom, 5)}};
}

BootOutcome run_from_ram(const ControllerRam& ram, std::span<const KnownFirmware> known) {
    for (const KnownFirmware& firmware : known) {
        if (ram.holds_loaded(firmware.ram)) {
            return {ControllerState::instrument, firmware.identity};
        }
    }
    return {ControllerState::hung, {}};
}

}  // namespace sim
