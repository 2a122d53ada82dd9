#pragma once
#include <cstdint>
#include <span>

#include "device/usb.h"

// Loads a C2 boot image into a bare controller's RAM with the firmware-load
// request (0xA0): CPUCS bit 0 set first (the 8051 held in reset), each load
// record's data at its address, then the last record, which writes CPUCS and
// releases the 8051 to run what was loaded. The controller then leaves the
// bus and comes back running the firmware. CONTROLLER_RAM_LOADED when every
// request went through; CONTROLLER_RAM_NOT_LOADED when the image is not a
// whole C2 image ending in the CPUCS record (nothing is sent) or a request
// failed (the 8051 is then left held). Logs nothing.
constexpr int CONTROLLER_RAM_LOADED = 1;
constexpr int CONTROLLER_RAM_NOT_LOADED = 0;
int usb_firmware_load_ram(UsbDevice* device, std::span<const std::uint8_t> image);
