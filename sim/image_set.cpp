#include "sim/image_set.h"

#include <algorithm>
#include <set>

#include "images/c2_records.h"

namespace sim {

std::span<const std::uint8_t> ImageSet::flash_image(int selector) const {
    switch (selector) {
        case 0:
            return bitstream;
        case 1:
            return firmware;
        case 2:
            return factory_bitstream;
        case 3:
            return factory_firmware;
        case 4:
            return configuration_sequence;
        default:
            return {};
    }
}

FlashPlacement flash_placement(int selector) {
    switch (selector) {
        case 0:
            return {0, 0x6C0000};
        case 1:
            return {1, 0x100000};
        case 3:
            return {1, 0x000000};
        case 4:
            return {0, 0xFC0000};
        default:
            return {0, 0x000000};
    }
}

std::vector<std::uint8_t> older_flash_image(std::span<const std::uint8_t> image) {
    std::vector<std::uint8_t> older(image.begin(), image.end());
    if (older.empty()) {
        return older;
    }
    const std::set<std::size_t> changed{0, older.size() / 2, older.size() - 1};
    for (const std::size_t position : changed) {
        older[position] ^= 0xA5;
    }
    return older;
}

namespace {

// Another revision's code: every data byte of the load records before the
// last differs, so a mix of the two is neither.
void change_record_data(std::vector<std::uint8_t>& image) {
    std::vector<std::size_t> code_offsets;
    c2_walk_records(image, [&](const C2Record& record) {
        for (std::size_t i = 0; !record.last && i < record.data.size(); ++i) {
            code_offsets.push_back(record.data_offset + i);
        }
        return true;
    });
    for (const std::size_t offset : code_offsets) {
        image[offset] ^= 0x5A;
    }
}

}  // namespace

std::vector<std::uint8_t> older_usb_firmware(std::span<const std::uint8_t> image) {
    std::vector<std::uint8_t> older(image.begin(), image.end());
    if (older.size() < 7) {
        return older;
    }
    change_record_data(older);
    const auto current = static_cast<std::uint16_t>(older[5] | older[6] << 8);
    const std::uint16_t id = current > OLDER_USB_DEVICE_ID ? OLDER_USB_DEVICE_ID
                             : current > 0                 ? static_cast<std::uint16_t>(current - 1)
                                                           : std::uint16_t{0xFFFF};
    older[5] = static_cast<std::uint8_t>(id);
    older[6] = static_cast<std::uint8_t>(id >> 8);
    return older;
}

std::vector<std::uint8_t> older_date(std::span<const std::uint8_t> date) {
    std::vector<std::uint8_t> older(date.begin(), date.end());
    const bool digits = std::all_of(older.begin(), older.end(),
                                    [](std::uint8_t c) { return c >= '0' && c <= '9'; });
    const bool zero =
        std::all_of(older.begin(), older.end(), [](std::uint8_t c) { return c == '0'; });
    if (older.empty()) {
        older.push_back('0');
    } else if (!digits || zero) {
        older.back() ^= 0x01;
    } else {
        for (auto digit = older.rbegin(); digit != older.rend(); ++digit) {
            if (*digit != '0') {
                --*digit;
                break;
            }
            *digit = '9';
        }
    }
    return older;
}

}  // namespace sim
