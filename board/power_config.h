#pragma once
#include <cstdint>
#include <span>
#include <string>

#include "device/usb.h"

// Plays a configuration script against the supply at bus_address: every
// written command is read, written when it differs, and read back. Returns
// the number of commands that did not end at the script's value:
// POWER_CONFIG_ALL_SET when every one did.
constexpr int POWER_CONFIG_ALL_SET = 0;
int power_config_program(UsbDevice* device, int bus_address, const std::uint8_t* script,
                         int script_length, int overall_from, int overall_to);

// STORE_DEFAULT_ALL with a 1000 ms pause, twice: the supply keeps its working
// values across power cycles.
inline constexpr std::uint8_t POWER_STORE_SEQUENCE[6] = {0x11, 0xE8, 0x03, 0x11, 0xE8, 0x03};

constexpr int POWER_WRITE_ATTEMPTS = 5;

// RESTORE_DEFAULT_ALL, then a pause: the supply's working values become its
// stored ones. Changes nothing the supply keeps across a power cycle, so a
// check made after it sees what the supply will come up with. False when the
// request failed: the working values may then differ from the stored ones, and
// nothing read from them may be taken for what the supply keeps.
bool power_supply_restore(UsbDevice* device, int bus_address);
constexpr std::uint32_t POWER_RESTORE_PAUSE_MS = 1000;

// Results of power_supply_date_compare.
constexpr int POWER_DATE_SAME = 1;
constexpr int POWER_DATE_DIFFERS = 0;
constexpr int POWER_DATE_UNREAD = -1;

// The supply's MFR_DATE block (count and six bytes) against the script's
// leading MFR_DATE record: POWER_DATE_SAME equal, POWER_DATE_DIFFERS different,
// POWER_DATE_UNREAD when the read did not deliver the whole block. When the
// block arrived and installed_date is given, it receives the supply's six date
// characters.
int power_supply_date_compare(UsbDevice* device, int bus_address,
                              std::span<const std::uint8_t> script,
                              std::string* installed_date = nullptr);
