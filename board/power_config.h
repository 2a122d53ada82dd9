#pragma once
#include <cstdint>

#include "device/usb.h"

// Plays a configuration script against the supply at bus_address: every
// written command is read, written when it differs, and read back. Returns
// the number of commands that did not end at the script's value.
int power_config_program(UsbDevice* device, int bus_address, const std::uint8_t* script,
                         int script_length, int overall_from, int overall_to);

// STORE_DEFAULT_ALL with a 1000 ms pause, twice: the supply keeps its working
// values across power cycles.
inline constexpr std::uint8_t POWER_STORE_SEQUENCE[6] = {0x11, 0xE8, 0x03, 0x11, 0xE8, 0x03};

constexpr int POWER_WRITE_ATTEMPTS = 5;
