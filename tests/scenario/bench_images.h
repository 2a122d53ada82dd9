#pragma once
// The image set of the command tests: a small synthetic set that the loading
// rules accept, loaded as the program's images and handed to the simulated
// instruments as the same bytes.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "images/images.h"
#include "sim/loaded_images.h"
#include "sim/image_set.h"
#include "sim/synthetic_images.h"

namespace command_test {

// ---- the image set ----

// Bitstreams load only when larger than 1,048,575 bytes: these are just larger.
inline sim::SyntheticSizes bench_sizes() {
    sim::SyntheticSizes sizes;
    sizes.factory_bitstream = BITSTREAM_MIN_EXCLUSIVE + 1 + 3000;
    sizes.bitstream = BITSTREAM_MIN_EXCLUSIVE + 1 + 5000;
    return sizes;
}

// Built once: the loaded images point into it for the life of the process,
// as they point into the executable's resources.
inline const sim::SyntheticImages& bench_images() {
    static const sim::SyntheticImages images(7, bench_sizes());
    return images;
}

inline const std::vector<std::uint8_t>& bench_version_table() {
    static const std::vector<std::uint8_t> table{0x6A, 0x94, 0, 0, 0xB2, 0x95, 0, 0};
    return table;
}

// The synthetic set as resources 400 to 409.
class SyntheticResources final : public ResourceSource {
  public:
    std::optional<std::uint32_t> resource_size(int id) override {
        const auto bytes = resource(id);
        if (bytes.empty()) {
            return std::nullopt;
        }
        return static_cast<std::uint32_t>(bytes.size());
    }
    const std::uint8_t* resource_bytes(int id) override {
        const auto bytes = resource(id);
        return bytes.empty() ? nullptr : bytes.data();
    }

  private:
    static std::span<const std::uint8_t> resource(int id) {
        const sim::SyntheticImages& images = bench_images();
        switch (id) {
            case IMAGE_VERSION_TABLE:
                return bench_version_table();
            case IMAGE_FLASH_CORE:
                return images.flash_core;
            case IMAGE_CONFIGURATION_SEQUENCE:
                return images.configuration_sequence;
            case IMAGE_FACTORY_BITSTREAM:
                return images.factory_bitstream;
            case IMAGE_FACTORY_FIRMWARE:
                return images.factory_firmware;
            case IMAGE_BITSTREAM:
                return images.bitstream;
            case IMAGE_FIRMWARE:
                return images.firmware;
            case IMAGE_USB_FIRMWARE:
                return images.usb_firmware;
            case IMAGE_POWER_SUPPLY_A:
                return images.supply_a_script;
            case IMAGE_POWER_SUPPLY_B:
                return images.supply_b_script;
            default:
                return {};
        }
    }
};

// An image set loaded as the program's images, and the same images as the
// simulated instruments take them.
struct LoadedImages {
    bool loaded = false;
    sim::ImageSet set;
};

inline LoadedImages load_images(ResourceSource& resources) {
    LoadedImages images;
    images.loaded = image_set_load(resources);
    if (images.loaded) {
        bit_reverse_table_build();
        images.set = sim::loaded_image_set();
    }
    return images;
}

inline LoadedImages load_bench_images() {
    SyntheticResources resources;
    return load_images(resources);
}

}  // namespace command_test
