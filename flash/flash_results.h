#pragma once
// What the flash image operations return.

// Results of the flash image operations (flash_image.h). Besides these, each may return the
// negative code of the transfer that failed (one of the USB_ERR_* codes).
constexpr int FLASH_VERIFY_MATCHES = 1;      // verify: the region holds the image
constexpr int FLASH_VERIFY_DIFFERS = 0;      // verify: it differs, or the flash did not identify
constexpr int FLASH_DONE = 0;                // erase, program: every sector or page done
constexpr int FLASH_ERASE_PARTLY_TAKEN = 1;  // erase: an erase frame was taken in part
constexpr int FLASH_FAILED = -1;             // a frame did not go out whole (see each operation)
constexpr int FLASH_UNANSWERED = -2;         // the flash stopped answering (see each operation)
constexpr int FLASH_VERIFY_STOPPED = -50;    // verify: a stop was asked for before the region was read
