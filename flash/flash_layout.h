#pragma once
// Where each flash image lives in the instrument's two configuration flash
// devices, by image selector.
#include <cstdint>

#include "images/image_regions.h"
#include "images/images.h"

enum ImageSelector : int {
    SELECTOR_BITSTREAM = 0,
    SELECTOR_FIRMWARE = 1,
    SELECTOR_FACTORY_BITSTREAM = 2,
    SELECTOR_FACTORY_FIRMWARE = 3,
    SELECTOR_CONFIGURATION_SEQUENCE = 4,
};

struct FlashRegion {
    int flash_device;     // 0 FPGA bitstreams, 1 processor firmware
    std::uint32_t start;  // byte address within the device
    int image_id;         // the embedded image that belongs there
};

// The region of a selector, decided by its bits: bit 0 device 1; bit 1 the
// factory copy at address 0; bit 2 (device 0 only) the configuration sequence.
constexpr FlashRegion flash_region(int selector) {
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
