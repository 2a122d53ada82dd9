#pragma once
#include <cstdint>
#include <span>

#include "device/usb.h"

// Results of usb_firmware_program.
constexpr int USB_FIRMWARE_WRITTEN = 1;      // written and read back identical
constexpr int USB_FIRMWARE_NOT_WRITTEN = 0;  // any failure

// Writes the USB controller's boot image into its EEPROM and reads it back:
// USB_FIRMWARE_WRITTEN or USB_FIRMWARE_NOT_WRITTEN. Logs its own text.
// The first byte, which decides whether the controller boots from the EEPROM
// at all, is made invalid before anything else is written and is written last,
// alone, once the rest has been read back: an interrupted write leaves a bare
// controller, never a half-written firmware that the controller would run.
int usb_firmware_program(UsbDevice* device, const std::uint8_t* image, int length);

// Results of usb_firmware_compare.
constexpr int USB_FIRMWARE_HEADER_SAME = 1;
constexpr int USB_FIRMWARE_HEADER_DIFFERS = 0;
constexpr int USB_FIRMWARE_HEADER_UNREAD = -1;

// Compares the EEPROM's 8-byte header with the image's: USB_FIRMWARE_HEADER_SAME
// when its first byte (the boot marker) and its device id (bytes 5 and 6) equal
// the image's, USB_FIRMWARE_HEADER_DIFFERS when they differ,
// USB_FIRMWARE_HEADER_UNREAD when the header could not be read. The device id
// read goes to installed_device_id when the read succeeded.
int usb_firmware_compare(UsbDevice* device, std::span<const std::uint8_t> image,
                         std::uint16_t* installed_device_id);

constexpr int EEPROM_WRITE_CHUNK = 32;
constexpr int EEPROM_READ_CHUNK = 2048;
// Reads that deliver nothing, in a row, before the read-back gives up.
constexpr int EEPROM_EMPTY_READS_ALLOWED = 10;
// Pages the read-back finds different and writes again, in all, before it
// reports the difference.
constexpr int EEPROM_REWRITES_ALLOWED = 8;
