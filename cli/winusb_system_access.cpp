// The program reaches instruments through the system's own functions.
#include "cli/winusb_access.h"

const WinUsbApi& console_winusb_api() {
    return winusb_system_api();
}
