#pragma once
// The vendor and product ids the instrument enumerates with, as its boot
// image gives them.
#include <cstdint>
#include <optional>
#include <span>

struct InstrumentUsbIds {
    std::uint16_t vendor_id = 0;
    std::uint16_t product_id = 0;
};

// The ids the instrument's boot image gives the device: bytes 1 to 4, little
// endian. nullopt when the image is too short to hold them.
std::optional<InstrumentUsbIds> instrument_ids_from_boot_image(
    std::span<const std::uint8_t> boot_image);
