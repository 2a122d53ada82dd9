#include "sim/loaded_images.h"

#include "images/images.h"

namespace sim {

ImageSet loaded_image_set() {
    return ImageSet{
        firmware_image(IMAGE_FLASH_CORE).bytes(),
        firmware_image(IMAGE_CONFIGURATION_SEQUENCE).bytes(),
        firmware_image(IMAGE_FACTORY_BITSTREAM).bytes(),
        firmware_image(IMAGE_FACTORY_FIRMWARE).bytes(),
        firmware_image(IMAGE_BITSTREAM).bytes(),
        firmware_image(IMAGE_FIRMWARE).bytes(),
        firmware_image(IMAGE_USB_FIRMWARE).bytes(),
        firmware_image(IMAGE_POWER_SUPPLY_A).bytes(),
        firmware_image(IMAGE_POWER_SUPPLY_B).bytes(),
    };
}

}  // namespace sim
