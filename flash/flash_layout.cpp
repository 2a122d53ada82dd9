#include "flash/flash_layout.h"

namespace {

constexpr std::uint32_t BITSTREAM_START = 0x6C0000;  // the factory bitstream's warm-boot address
constexpr std::uint32_t FIRMWARE_START = 0x100000;
constexpr std::uint32_t CONFIGURATION_SEQUENCE_START = 0xFC0000;

}  // namespace

FlashRegion flash_region(int selector) {
    if ((selector & 1) != 0) {
        if ((selector & 2) != 0) {
            return {1, 0, IMAGE_FACTORY_FIRMWARE};
        }
        return {1, FIRMWARE_START, IMAGE_FIRMWARE};
    }
    if ((selector & 4) != 0) {
        return {0, CONFIGURATION_SEQUENCE_START, IMAGE_CONFIGURATION_SEQUENCE};
    }
    if ((selector & 2) != 0) {
        return {0, 0, IMAGE_FACTORY_BITSTREAM};
    }
    return {0, BITSTREAM_START, IMAGE_BITSTREAM};
}

std::span<const std::uint8_t> flash_region_image(int selector) {
    return firmware_image(flash_region(selector).image_id).bytes();
}
