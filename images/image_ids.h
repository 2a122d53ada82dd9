#pragma once
// The ids of the embedded images: the resource ids the catalogue loads them
// by, in catalogue order.

enum ImageId : int {
    IMAGE_VERSION_TABLE = 400,
    IMAGE_FLASH_CORE = 401,
    IMAGE_CONFIGURATION_SEQUENCE = 402,
    IMAGE_FACTORY_BITSTREAM = 403,
    IMAGE_FACTORY_FIRMWARE = 404,
    IMAGE_BITSTREAM = 405,
    IMAGE_FIRMWARE = 406,
    IMAGE_USB_FIRMWARE = 407,
    IMAGE_POWER_SUPPLY_A = 408,
    IMAGE_POWER_SUPPLY_B = 409,
};
constexpr int IMAGE_ID_FIRST = IMAGE_VERSION_TABLE;
constexpr int IMAGE_ID_LAST = IMAGE_POWER_SUPPLY_B;
constexpr int IMAGE_COUNT = IMAGE_ID_LAST - IMAGE_ID_FIRST + 1;
