#pragma once
// The Win32, SetupAPI and WinUSB functions the command line reaches
// instruments through: the system's in the program (winusb_system_access.cpp);
// a test build links a stand-in over simulated instruments instead, so that
// the program's own code runs unchanged against both.
#include "device/winusb/winusb_api.h"

const WinUsbApi& console_winusb_api();
