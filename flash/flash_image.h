#pragma once
// Verifying, erasing and programming the flash region of one embedded image.
#include "device/usb.h"
#include "flash/flash_layout.h"
#include "flash/flash_results.h"

// FLASH_VERIFY_MATCHES the region holds the image; FLASH_VERIFY_DIFFERS it
// differs or the flash did not identify; negative when the region was not read
// to the end: FLASH_FAILED when the device select (then nothing is read), a
// read request or a closing frame did not go out whole, FLASH_UNANSWERED when
// a read went unanswered six times, or the negative code of the transfer.
int image_verify(UsbDevice* device, int selector, int overall_from, int overall_to);

// FLASH_DONE every sector of the region erased; FLASH_FAILED the device select
// did not go out whole or the flash did not identify (nothing erased);
// FLASH_UNANSWERED a sector went unanswered six times; FLASH_ERASE_PARTLY_TAKEN
// an erase frame was taken in part; or the negative code of the transfer that
// failed.
int image_erase(UsbDevice* device, int selector, int overall_from, int overall_to);

// FLASH_DONE every page written and acknowledged; FLASH_FAILED the device
// select or a page frame did not go out whole, or the flash did not identify;
// FLASH_UNANSWERED a page went unacknowledged; or the negative code of a read
// that failed.
int image_program(UsbDevice* device, int selector, int overall_from, int overall_to);

// The same three operations on a region named by its place and image rather
// than by a selector: what the item table hands them. The selector forms
// above are these with flash_region(selector).
//
// A verify given stop_asked asks it before each read request and, once it
// says yes, leaves the region unread and returns FLASH_VERIFY_STOPPED (a
// comparison writes nothing, so it may end anywhere).
using StopAsked = bool (*)();
int region_verify(UsbDevice* device, const FlashRegion& region, int overall_from, int overall_to,
                  StopAsked stop_asked = nullptr);
int region_erase(UsbDevice* device, const FlashRegion& region, int overall_from, int overall_to);
int region_program(UsbDevice* device, const FlashRegion& region, int overall_from, int overall_to);
