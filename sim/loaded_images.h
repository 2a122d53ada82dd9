#pragma once
// The image set the program itself has loaded (images/images.h), as the
// simulated instrument takes it: the demo and the scenario tests run with it.
#include "sim/image_set.h"

namespace sim {

ImageSet loaded_image_set();

}  // namespace sim
