#pragma once
// USB controllers of the instrument's kind that run no firmware: their boot
// EEPROM holds no boot image (a write of it was interrupted), so they show
// the chip's built-in identity and nothing of the instrument. Other products
// use the same chip and ids: a bare controller is listed, never touched unasked.
#include <string>
#include <vector>

// The paths of the attached bare controllers, in the backend's order.
std::vector<std::string> bare_controller_paths();
