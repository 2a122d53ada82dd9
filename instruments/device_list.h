#pragma once
// The attached instruments as the window lists them.
#include <string>

#include "device/usb.h"

constexpr int LISTED_DEVICES_MAX = 32;
constexpr int IDENTIFICATION_BLOCK_SIZE = 22;
constexpr int IDENTIFICATION_BLOCK_ADDRESS = 0x3000;

// Rebuilds the device list and the combo box; selects the instrument whose
// interface path equals remembered_path (else the first). Returns how many
// listed instruments carry that path (0 when it is null).
int device_list_refresh(const char* remembered_path);

// The instrument shown at a combo-box position, or nullptr.
UsbDevice* listed_device(int index);
int listed_device_count();

// The interface path of the instrument the last device command started on,
// kept in full so the instrument is found again after it restarts.
std::string& remembered_device_path();

// Frees the device list (at exit, and in tests).
void device_list_release();
