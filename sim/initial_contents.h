#pragma once
// Fills what a new instrument keeps without power (its two flash devices, its
// boot EEPROM and its supplies A and B) as its InitialState asks.
#include <array>
#include <cstdint>

#include "sim/boot_eeprom.h"
#include "sim/image_set.h"
#include "sim/nor_flash.h"
#include "sim/power_supply.h"

namespace sim {

void load_initial_contents(std::array<NorFlash, 2>& flashes, BootEeprom& eeprom,
                           std::array<PowerSupply, 2>& supplies, const ImageSet& images,
                           const InitialState& initial, std::int32_t device_number);

}  // namespace sim
