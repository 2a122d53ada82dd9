#pragma once
// How the USB controller starts, as its technical reference describes it.
// At power-up and at a restart it reads its boot EEPROM's first byte:
//  - 0xC2: it carries out the load records that follow the 8-byte header
//    (2-byte big-endian length whose top bit marks the last record, 2-byte
//    big-endian address, the data); the last record writes CPUCS to start
//    the 8051. Only code and data that are a whole firmware it knows come up
//    as the instrument; anything else (records cut short or malformed, a mix
//    of two firmwares) runs astray and never appears on the bus again.
//  - anything else: the bare controller, with its built-in identity and
//    endpoint 0 only, whose RAM the host may load with request 0xA0 while the
//    8051 is held in reset, and then release it.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "sim/boot_eeprom.h"

namespace sim {

// The controller's internal memory that load records and request 0xA0 reach:
// 16 KiB of program and data RAM from 0, and 512 bytes of scratch RAM at 0xE000.
class ControllerRam {
  public:
    static constexpr std::uint32_t MAIN_SIZE = 0x4000;
    static constexpr std::uint32_t SCRATCH_START = 0xE000;
    static constexpr std::uint32_t SCRATCH_SIZE = 0x200;

    ControllerRam();
    // Whether [address, address + count) lies wholly inside one RAM block.
    static bool holds(std::uint32_t address, std::size_t count);
    // False (nothing written) when the bytes do not fit one block.
    bool write(std::uint32_t address, std::span<const std::uint8_t> bytes);
    // Copies what the block holds; false when the range is not RAM.
    bool read(std::uint32_t address, std::span<std::uint8_t> out) const;
    // Whether every byte that firmware loaded is here, at its address.
    bool holds_loaded(const ControllerRam& firmware) const;
    void clear();

  private:
    static std::optional<std::size_t> offset(std::uint32_t address, std::size_t count);

    std::vector<std::uint8_t> bytes_;
    std::vector<bool> loaded_;  // written since power-up
};

// What the load records of a C2 image put into RAM; nullopt when the image is
// not one whose records run to their last one (a 0xC2 marker over records cut
// short, malformed or reaching outside RAM).
std::optional<ControllerRam> load_c2_records(std::span<const std::uint8_t> image);

// A firmware the controller can run: what it loads and the ids its header gives.
struct KnownFirmware {
    ControllerRam ram;
    BootIdentity identity;
};
// The firmware of a well-formed C2 image; nullopt for any other.
std::optional<KnownFirmware> known_firmware(std::span<const std::uint8_t> c2_image);

enum class ControllerState {
    instrument,  // runs a known firmware: the instrument's interface is on the bus
    bare,        // no boot image: built-in identity, waiting for a firmware load
    hung,        // runs what is no firmware: off the bus until power is removed
};

struct BootOutcome {
    ControllerState state = ControllerState::bare;
    BootIdentity identity;
};

// The controller started from its EEPROM, against the firmwares it knows.
BootOutcome boot_from_eeprom(std::span<const std::uint8_t> eeprom,
                             std::span<const KnownFirmware> known);
// The 8051 released with RAM as it is: the firmware it runs, if it is one.
BootOutcome run_from_ram(const ControllerRam& ram, std::span<const KnownFirmware> known);

BootIdentity bare_controller_identity();

}  // namespace sim
