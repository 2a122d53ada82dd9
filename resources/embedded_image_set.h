#pragma once
// The image set carried by this executable.
#include "images/images.h"

ResourceSource& embedded_image_source();
