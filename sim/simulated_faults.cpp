#include "sim/simulated_faults.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace sim {
namespace {

// The firmware's image: the first item that verify compares and program rewrites.
constexpr int FIRMWARE_SELECTOR = 1;

// The boot EEPROM's write requests of a program run are counted from 0: the
// first marks the boot image withdrawn, the ones after it write the new one.
constexpr std::size_t FIRST_BOOT_IMAGE_WRITE = 1;

void hold_open(SimBackend& bus, Instrument& instrument, const ImageSet&) {
    bus.set_held_open(instrument, true);
}

void stay_away_after_restart(SimBackend&, Instrument& instrument, const ImageSet&) {
    instrument.faults().restart_does_not_come_back = true;
}

void drop_every_reply(SimBackend&, Instrument& instrument, const ImageSet&) {
    instrument.faults().drop_reply = Trigger::always();
}

// A bit that the firmware image needs cleared, stuck at 1: its first byte
// that is not 0xFF has at least one.
void stick_a_firmware_bit(SimBackend&, Instrument& instrument, const ImageSet& images) {
    const std::span<const std::uint8_t> image = images.flash_image(FIRMWARE_SELECTOR);
    const auto programmed = std::find_if(image.begin(), image.end(),
                                         [](std::uint8_t byte) { return byte != 0xFF; });
    if (programmed == image.end()) {
        return;  // an image of erased bytes only: no bit to stick
    }
    const auto cleared_bits = static_cast<std::uint8_t>(~*programmed);
    const FlashPlacement placement = flash_placement(FIRMWARE_SELECTOR);
    StuckBit stuck;
    stuck.device = placement.device;
    stuck.address = placement.start + static_cast<std::uint32_t>(programmed - image.begin());
    stuck.mask = static_cast<std::uint8_t>(cleared_bits & -cleared_bits);
    instrument.faults().stuck_bits.push_back(stuck);
}

void cut_power_in_eeprom_write(SimBackend&, Instrument& instrument, const ImageSet&) {
    Faults& faults = instrument.faults();
    faults.power_loss_at_eeprom_write = FIRST_BOOT_IMAGE_WRITE;
    faults.eeprom_cut_prefix_bytes = 0;
}

constexpr std::array<NamedFault, 5> NAMED_FAULTS = {{
    {"access-denied", "another program holds the instrument open: it is not listed",
     hold_open},
    {"no-return", "the instrument does not come back from the restart verify and program begin with",
     stay_away_after_restart},
    {"no-reply", "the flash core never answers: verify finds the flash out of date, program fails",
     drop_every_reply},
    {"mismatch", "a flash bit the firmware needs cleared stays set: the firmware's read-back differs",
     stick_a_firmware_bit},
    {"power-loss", "power is lost while program writes the USB firmware into the boot EEPROM",
     cut_power_in_eeprom_write},
}};

bool same_name(std::string_view given, std::string_view name) {
    return given.size() == name.size() &&
           std::equal(given.begin(), given.end(), name.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == b;
           });
}

}  // namespace

std::span<const NamedFault> named_faults() {
    return NAMED_FAULTS;
}

const NamedFault* find_named_fault(std::string_view name) {
    const auto found = std::find_if(NAMED_FAULTS.begin(), NAMED_FAULTS.end(),
                                    [name](const NamedFault& fault) { return same_name(name, fault.name); });
    return found != NAMED_FAULTS.end() ? &*found : nullptr;
}

}  // namespace sim
