#pragma once
// Fills a new instrument's flash, EEPROM and supplies as its InitialState asks.
#include <cstdint>

#include "sim/image_set.h"

namespace sim {

class Instrument;

void load_initial_contents(Instrument& instrument, const ImageSet& images,
                           const InitialState& initial, std::int32_t device_number);

}  // namespace sim
