// The product: instruments through WinUSB, on real time.
#include "win32/platform_backend.h"
#include "device/winusb/winusb_backend.h"

UsbBackend& platform_usb_backend() {
    static WinUsbBackend backend;
    return backend;
}

Clock& platform_clock() {
    static SystemClock clock;
    return clock;
}
