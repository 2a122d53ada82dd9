#pragma once
// The images an instrument can hold, as the host's loader hands them over
// (image 405 already without its bitstream header), where each flash image
// lives, and the contents an instrument starts with: blank, holding the set,
// or holding an older set derived from it.
#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace sim {

struct ImageSet {
    std::span<const std::uint8_t> flash_core;              // 401
    std::span<const std::uint8_t> configuration_sequence;  // 402, selector 4
    std::span<const std::uint8_t> factory_bitstream;       // 403, selector 2
    std::span<const std::uint8_t> factory_firmware;        // 404, selector 3
    std::span<const std::uint8_t> bitstream;               // 405, selector 0
    std::span<const std::uint8_t> firmware;                // 406, selector 1
    std::span<const std::uint8_t> usb_firmware;            // 407
    std::span<const std::uint8_t> supply_a_script;         // 408
    std::span<const std::uint8_t> supply_b_script;         // 409

    // The flash image of an image selector 0 to 4; empty for any other.
    std::span<const std::uint8_t> flash_image(int selector) const;
};

constexpr int FLASH_IMAGE_COUNT = 5;

struct FlashPlacement {
    int device = 0;
    std::uint32_t start = 0;
};
// Where the image of a selector 0 to 4 lives in the two flash devices.
FlashPlacement flash_placement(int selector);

enum class Contents { blank, current, older };

// What each part holds when the instrument is first attached. A blank EEPROM
// holds only the identification block: the controller then boots without
// firmware and does not show the instrument's interface.
struct InitialState {
    Contents flash = Contents::current;
    Contents eeprom = Contents::current;
    Contents supplies = Contents::current;

    static InitialState all(Contents contents) { return {contents, contents, contents}; }
};

// An older flash image: the same length with a few bytes changed.
std::vector<std::uint8_t> older_flash_image(std::span<const std::uint8_t> image);
// An older USB controller image: the same records with other code and data,
// and a lower device id (bytes 5, 6).
std::vector<std::uint8_t> older_usb_firmware(std::span<const std::uint8_t> image);
// An earlier MFR_DATE: six digits counted one down; other text has its last
// byte changed.
std::vector<std::uint8_t> older_date(std::span<const std::uint8_t> date);

constexpr std::uint16_t OLDER_USB_DEVICE_ID = 0x0125;

}  // namespace sim
