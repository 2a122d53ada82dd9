#pragma once
#include <cstdint>
#include <span>

#include "device/usb.h"

// Loads a C2 boot image into a bare controller's RAM with the firmware-load
// request (0xA0): CPUCS bit 0 set first (the 8051 held in reset), each load
// record's data at its address, then the last record, which writes CPUCS and
// releases the 8051 to run what was loaded. The controller then leaves the
// bus and comes back running the firmware. 1 when every request went through;
// 0 when the image is not a whole C2 image ending in the CPUCS record (nothing
// is sent) or a request failed (the 8051 is then left held). Logs nothing.
int usb_firmware_load_ram(UsbDevice* device, std::span<const std::uint8_t> image);
