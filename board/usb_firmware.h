#pragma once
#include <cstdint>

#include "device/usb.h"

// Writes the USB controller's boot image into its EEPROM and reads it back:
// 1 when written and read back identical, 0 on any failure. Logs its own text.
int usb_firmware_program(UsbDevice* device, const std::uint8_t* image, int length);

constexpr int EEPROM_WRITE_CHUNK = 32;
constexpr int EEPROM_READ_CHUNK = 2048;
// Reads that deliver nothing, in a row, before the read-back gives up.
constexpr int EEPROM_EMPTY_READS_ALLOWED = 10;
// Chunks the read-back finds different and writes again, in all, before it
// reports the difference.
constexpr int EEPROM_REWRITES_ALLOWED = 8;
