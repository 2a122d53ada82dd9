// The catalogue of embedded images and its loading rules.
#include <algorithm>
#include <cstdio>

#include "images/images.h"

#include "images/image_regions.h"
#include "window/window_port.h"

std::array<std::uint8_t, 256> bit_reverse_table = {};

namespace {

FirmwareImage loaded_images[IMAGE_COUNT];

// The order in which start-up maps the resources.
constexpr int LOAD_ORDER[IMAGE_COUNT] = {
    IMAGE_FLASH_CORE,       IMAGE_CONFIGURATION_SEQUENCE, IMAGE_FACTORY_BITSTREAM,
    IMAGE_FACTORY_FIRMWARE, IMAGE_BITSTREAM,              IMAGE_FIRMWARE,
    IMAGE_USB_FIRMWARE,     IMAGE_POWER_SUPPLY_A,         IMAGE_POWER_SUPPLY_B,
    IMAGE_VERSION_TABLE,
};

constexpr std::int32_t VERSION_TABLE_MIN_LENGTH = 8;

bool is_bitstream(int id) { return id == IMAGE_FACTORY_BITSTREAM || id == IMAGE_BITSTREAM; }

FirmwareImage load_whole(ResourceSource& source, int id) {
    FirmwareImage image;
    const std::optional<std::uint32_t> size = source.resource_size(id);
    if (!size) {
        return image;
    }
    image.length = static_cast<std::int32_t>(*size);
    image.data = source.resource_bytes(id);
    return image;
}

// A bitstream file may carry a header of the vendor's tools; the raw
// configuration data starts at the first run of four 0xFF bytes. The search
// never reads past the resource, however small the minimum size allows it to be.
FirmwareImage load_bitstream(ResourceSource& source, int id, const ImageLoadingLimits& limits) {
    FirmwareImage image;
    const std::optional<std::uint32_t> size = source.resource_size(id);
    if (!size || *size <= limits.bitstream_min_exclusive) {
        return image;
    }
    const std::uint8_t* mapped = source.resource_bytes(id);
    if (mapped == nullptr) {
        return image;
    }
    const std::span<const std::uint8_t> bytes(mapped, *size);
    constexpr std::size_t search = static_cast<std::size_t>(BITSTREAM_HEADER_SEARCH);
    for (std::size_t p = 0; p < search && p + 4 <= bytes.size(); ++p) {
        if (bytes[p] == 0xFF && bytes[p + 1] == 0xFF && bytes[p + 2] == 0xFF &&
            bytes[p + 3] == 0xFF) {
            image.data = bytes.data() + p;
            image.length = static_cast<std::int32_t>(bytes.size() - p);
            return image;
        }
    }
    return image;
}

FirmwareImage& slot(int id) { return loaded_images[id - IMAGE_ID_FIRST]; }

bool image_set_complete() {
    const FirmwareImage& versions = slot(IMAGE_VERSION_TABLE);
    if (versions.data == nullptr || versions.length < VERSION_TABLE_MIN_LENGTH) {
        return false;
    }
    for (int id = IMAGE_FLASH_CORE; id <= IMAGE_ID_LAST; ++id) {
        if (slot(id).data == nullptr || slot(id).length <= 0) {
            return false;
        }
    }
    return true;
}

// An image longer than its region would have its erase or write reach into
// the next region, possibly one the check found current.
bool image_set_fits() {
    for (const ImageRegion& region : IMAGE_REGIONS) {
        const std::int32_t length = slot(region.image_id).length;
        if (length < 0 || static_cast<std::uint32_t>(length) > region.capacity()) {
            return false;
        }
    }
    return true;
}

std::uint32_t little_endian_32(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

}  // namespace

bool image_set_load(ResourceSource& source) {
    return image_set_load(source, ImageLoadingLimits{});
}

bool image_set_load(ResourceSource& source, const ImageLoadingLimits& limits) {
    for (const int id : LOAD_ORDER) {
        // A resource larger than a signed 32-bit length can express is not an image.
        const std::optional<std::uint32_t> size = source.resource_size(id);
        if (size && *size > 0x7FFFFFFFU) {
            slot(id) = {};
            continue;
        }
        slot(id) = is_bitstream(id) ? load_bitstream(source, id, limits) : load_whole(source, id);
    }
    return image_set_complete() && image_set_fits();
}

const char* image_role(int id) {
    switch (id) {
        case IMAGE_VERSION_TABLE: return "version table";
        case IMAGE_FLASH_CORE: return "flash core";
        case IMAGE_CONFIGURATION_SEQUENCE: return "configuration sequence";
        case IMAGE_FACTORY_BITSTREAM: return "factory bitstream";
        case IMAGE_FACTORY_FIRMWARE: return "factory firmware";
        case IMAGE_BITSTREAM: return "bitstream";
        case IMAGE_FIRMWARE: return "firmware";
        case IMAGE_USB_FIRMWARE: return "USB controller firmware";
        case IMAGE_POWER_SUPPLY_A: return "power supply A script";
        case IMAGE_POWER_SUPPLY_B: return "power supply B script";
        default: return "unknown";
    }
}

bool startup_load_images(ResourceSource& source, WindowPort& port) {
    if (!image_set_load(source)) {
        port.message_box(STARTUP_REFUSAL_MESSAGE, MessageIcon::error);
        return false;
    }
    bit_reverse_table_build();
    return true;
}

const FirmwareImage& firmware_image(int id) {
    static const FirmwareImage none;
    if (id < IMAGE_ID_FIRST || id > IMAGE_ID_LAST) {
        return none;
    }
    return slot(id);
}

std::array<char, 16> usb_revision_text(std::uint8_t high, std::uint8_t low) {
    std::array<char, 16> text{};
    std::snprintf(text.data(), text.size(), "%d.%02d", high, low);
    return text;
}

AvailableVersions available_versions() {
    AvailableVersions versions;
    const FirmwareImage& table = firmware_image(IMAGE_VERSION_TABLE);
    if (table.data != nullptr && table.length >= VERSION_TABLE_MIN_LENGTH) {
        versions.fpga_revision = little_endian_32(table.data);
        versions.firmware_revision = little_endian_32(table.data + 4);
    }
    const FirmwareImage& usb = firmware_image(IMAGE_USB_FIRMWARE);
    if (usb.data != nullptr && usb.length >= 7) {
        const std::array<char, 16> text = usb_revision_text(usb.data[6], usb.data[5]);
        std::copy(text.begin(), text.end(), versions.usb_revision);
    }
    const std::string_view date = script_mfr_date(firmware_image(IMAGE_POWER_SUPPLY_A).bytes());
    std::copy(date.begin(), date.end(), versions.power_revision);
    return versions;
}

std::string_view script_mfr_date(std::span<const std::uint8_t> script) {
    constexpr std::size_t DATE_OFFSET = 3;
    constexpr std::size_t DATE_LENGTH = 6;
    if (script.size() < DATE_OFFSET + DATE_LENGTH) {
        return {};
    }
    return {reinterpret_cast<const char*>(script.data()) + DATE_OFFSET, DATE_LENGTH};
}

void bit_reverse_table_build() {
    for (int i = 0; i < 256; ++i) {
        int reversed = 0;
        for (int bit = 0; bit < 8; ++bit) {
            if ((i & (1 << bit)) != 0) {
                reversed |= 1 << (7 - bit);
            }
        }
        bit_reverse_table[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(reversed);
    }
}
