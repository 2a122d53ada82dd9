// The instrument's ids, read off its boot image.
#include "device/libusb/instrument_usb_ids.h"

std::optional<InstrumentUsbIds> instrument_ids_from_boot_image(
    std::span<const std::uint8_t> boot_image) {
    if (boot_image.size() < 5) {
        return std::nullopt;
    }
    InstrumentUsbIds ids;
    ids.vendor_id = static_cast<std::uint16_t>(boot_image[1] | (boot_image[2] << 8));
    ids.product_id = static_cast<std::uint16_t>(boot_image[3] | (boot_image[4] << 8));
    return ids;
}
