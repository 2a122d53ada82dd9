#pragma once
// The attached instruments, reached through the platform's USB library.
#include <functional>
#include <string>

#include "cli/terminal_port.h"
#include "device/usb.h"

// Calls use with the platform's backend and returns what it returns; when the
// USB library cannot be used, says why and returns EXIT_RUN_FAILED. On
// Windows, an instrument that another program held through the open's wait
// is followed by what to do about it.
int with_instrument_backend(TerminalPort& port, const std::function<int(UsbBackend&)>& use);

// Added to "No instrument found" when no interface of the instrument's class
// is present at all: on Windows only an instrument bound to its WinUSB driver
// has one. Empty where instruments are found by their USB ids (libusb).
std::string missing_interface_hint();

// Added to "No bare USB controller found" over real instruments: on Windows
// no bare controller can be reached. Empty where one can (libusb).
std::string bare_controller_reach_hint();
