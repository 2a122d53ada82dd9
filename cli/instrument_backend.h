#pragma once
// The attached instruments, reached through the platform's USB library.
#include <functional>

#include "cli/terminal_port.h"
#include "device/usb.h"

// Calls use with the platform's backend and returns what it returns; when the
// USB library cannot be used, says why and returns EXIT_RUN_FAILED.
int with_instrument_backend(TerminalPort& port, const std::function<int(UsbBackend&)>& use);
