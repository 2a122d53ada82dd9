#pragma once
#include "device/usb.h"

// Loads the flash core (image 401) into the instrument's FPGA: announces the
// word count, streams the image byte-swapped and bit-reversed and a zero
// trailer, and polls until the FPGA runs it. Logs its own line. 0 or -1.
int flash_core_upload(UsbDevice* device, int overall_from, int overall_to);

constexpr int FLASH_CORE_TRAILER_BYTES = 51200;
constexpr int FLASH_CORE_CHUNK_BYTES = 4096;
