#pragma once
// What the window reaches instruments through: the WinUSB backend on real
// time in the product, a simulated instrument in the demo.
#include "device/clock.h"
#include "device/usb.h"

// Called once the image set is loaded (the demo's instrument is built from it).
UsbBackend& platform_usb_backend();
Clock& platform_clock();
