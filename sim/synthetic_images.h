#pragma once
// A small, deterministic image set for tests: every image of the catalogue in
// miniature (bitstreams beginning with their 0xFF run, a C2 boot image, two
// supply scripts that begin with the manufacturer blocks and select pages).
#include <cstdint>
#include <vector>

#include "sim/image_set.h"

namespace sim {

struct SyntheticSizes {
    std::size_t flash_core = 6000;
    std::size_t configuration_sequence = 208;
    std::size_t factory_bitstream = 3000;
    std::size_t factory_firmware = 1500;
    std::size_t bitstream = 5000;
    std::size_t firmware = 2100;
    std::size_t usb_firmware = 300;
};

constexpr std::uint16_t SYNTHETIC_VENDOR_ID = 0x1C0F;
constexpr std::uint16_t SYNTHETIC_PRODUCT_ID = 0x0C02;
constexpr std::uint16_t SYNTHETIC_DEVICE_ID = 0x0203;
inline constexpr const char* SYNTHETIC_SUPPLY_DATE = "240611";

struct SyntheticImages {
    explicit SyntheticImages(std::uint64_t seed = 1, SyntheticSizes sizes = {});

    ImageSet set() const;

    std::vector<std::uint8_t> flash_core;
    std::vector<std::uint8_t> configuration_sequence;
    std::vector<std::uint8_t> factory_bitstream;
    std::vector<std::uint8_t> factory_firmware;
    std::vector<std::uint8_t> bitstream;
    std::vector<std::uint8_t> firmware;
    std::vector<std::uint8_t> usb_firmware;
    std::vector<std::uint8_t> supply_a_script;
    std::vector<std::uint8_t> supply_b_script;
};

// A supply script of the embedded scripts' shape: the six manufacturer blocks
// (MFR_DATE first), a few common settings, then one section per output.
std::vector<std::uint8_t> synthetic_supply_script(const char* date, int outputs,
                                                  std::uint16_t seed);

}  // namespace sim
