#pragma once
// Verifying, erasing and programming the flash region of one embedded image.
#include "device/usb.h"
#include "flash/flash_layout.h"

// 1 the region holds the image; 0 it differs or the flash did not identify;
// negative when the region was not read to the end (-1 also when the device
// select did not go out whole: then nothing is read).
int image_verify(UsbDevice* device, int selector, int overall_from, int overall_to);

// 0 every sector of the region erased; -1 the device select did not go out
// whole or the flash did not identify (nothing erased); -2 a sector went
// unanswered six times; 1 an erase frame was taken in part; or the negative
// code of the transfer that failed.
int image_erase(UsbDevice* device, int selector, int overall_from, int overall_to);

// 0 every page written and acknowledged; -1 the device select or a page
// frame did not go out whole, or the flash did not identify; -2 a page went
// unacknowledged; or the negative code of a read that failed.
int image_program(UsbDevice* device, int selector, int overall_from, int overall_to);

// The same three operations on a region named by its place and image rather
// than by a selector: what the item table hands them. The selector forms
// above are these with flash_region(selector).
int region_verify(UsbDevice* device, const FlashRegion& region, int overall_from, int overall_to);
int region_erase(UsbDevice* device, const FlashRegion& region, int overall_from, int overall_to);
int region_program(UsbDevice* device, const FlashRegion& region, int overall_from, int overall_to);
