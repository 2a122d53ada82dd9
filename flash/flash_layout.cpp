#include "flash/flash_layout.h"

#include "images/image_regions.h"

FlashRegion flash_region(int selector) {
    if ((selector & 1) != 0) {
        if ((selector & 2) != 0) {
            return {1, FACTORY_FIRMWARE_REGION_START, IMAGE_FACTORY_FIRMWARE};
        }
        return {1, FIRMWARE_REGION_START, IMAGE_FIRMWARE};
    }
    if ((selector & 4) != 0) {
        return {0, CONFIGURATION_SEQUENCE_REGION_START, IMAGE_CONFIGURATION_SEQUENCE};
    }
    if ((selector & 2) != 0) {
        return {0, FACTORY_BITSTREAM_REGION_START, IMAGE_FACTORY_BITSTREAM};
    }
    return {0, BITSTREAM_REGION_START, IMAGE_BITSTREAM};
}

std::span<const std::uint8_t> flash_region_image(int selector) {
    return firmware_image(flash_region(selector).image_id).bytes();
}
