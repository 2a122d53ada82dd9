#pragma once
// Where the images stored on the instrument live, and so how long each may
// be: the regions of the two 16 MiB configuration flash devices, which follow
// one another without gaps, and the boot EEPROM below the USB controller's
// identification block. An image longer than its region would have its erase
// or write reach into the next one, so start-up refuses such a set.
#include <cstdint>

#include "images/image_ids.h"

constexpr std::uint32_t FLASH_DEVICE_END = 0x1000000;  // 16 MiB

// Flash device 0: the FPGA bitstreams.
constexpr std::uint32_t FACTORY_BITSTREAM_REGION_START = 0x000000;
// Fixed by the factory bitstream, which names it as the FPGA's warm-boot address.
constexpr std::uint32_t BITSTREAM_REGION_START = 0x6C0000;
constexpr std::uint32_t CONFIGURATION_SEQUENCE_REGION_START = 0xFC0000;

// Flash device 1: the processor firmware.
constexpr std::uint32_t FACTORY_FIRMWARE_REGION_START = 0x000000;
constexpr std::uint32_t FIRMWARE_REGION_START = 0x100000;

// The boot EEPROM: the boot image runs from address 0 up to the
// identification block, which the device list reads and which stays in place.
constexpr std::uint32_t USB_FIRMWARE_REGION_START = 0x0000;
constexpr std::uint32_t IDENTIFICATION_BLOCK_START = 0x3000;

struct ImageRegion {
    int image_id;
    std::uint32_t start;
    std::uint32_t end;  // where the next region begins: the image must end at or below it

    constexpr std::uint32_t capacity() const { return end - start; }
};

// Region starts are multiples of 256 KiB, so an image that fits its region
// is erased in sectors of 64 or 256 KiB that never reach the next region.
inline constexpr ImageRegion IMAGE_REGIONS[] = {
    {IMAGE_FACTORY_BITSTREAM, FACTORY_BITSTREAM_REGION_START, BITSTREAM_REGION_START},
    {IMAGE_BITSTREAM, BITSTREAM_REGION_START, CONFIGURATION_SEQUENCE_REGION_START},
    {IMAGE_CONFIGURATION_SEQUENCE, CONFIGURATION_SEQUENCE_REGION_START, FLASH_DEVICE_END},
    {IMAGE_FACTORY_FIRMWARE, FACTORY_FIRMWARE_REGION_START, FIRMWARE_REGION_START},
    {IMAGE_FIRMWARE, FIRMWARE_REGION_START, FLASH_DEVICE_END},
    {IMAGE_USB_FIRMWARE, USB_FIRMWARE_REGION_START, IDENTIFICATION_BLOCK_START},
};
