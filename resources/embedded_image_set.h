#pragma once
// The image set carried by this executable.
#include "app/images.h"

ResourceSource& embedded_image_source();
