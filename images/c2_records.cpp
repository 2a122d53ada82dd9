#include "images/c2_records.h"

namespace {

constexpr std::uint16_t LAST_RECORD_FLAG = 0x8000;
constexpr std::uint16_t RESERVED_LENGTH_BITS = 0x7C00;

std::uint16_t be16(std::span<const std::uint8_t> bytes, std::size_t at) {
    return static_cast<std::uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}

}  // namespace

bool c2_walk_records(std::span<const std::uint8_t> image,
                     const std::function<bool(const C2Record&)>& visit) {
    if (image.size() < C2_HEADER_SIZE || image[0] != C2_BOOT_MARKER) {
        return false;
    }
    std::size_t at = C2_HEADER_SIZE;
    // Every record takes at least its four header bytes: the walk ends.
    while (image.size() - at >= C2_RECORD_HEADER_SIZE) {
        const std::uint16_t length_word = be16(image, at);
        const std::size_t length = length_word & C2_MAX_RECORD_LENGTH;
        C2Record record;
        record.address = be16(image, at + 2);
        record.last = (length_word & LAST_RECORD_FLAG) != 0;
        record.data_offset = at + C2_RECORD_HEADER_SIZE;
        if ((length_word & RESERVED_LENGTH_BITS) != 0 || length > image.size() - record.data_offset) {
            return false;
        }
        record.data = image.subspan(record.data_offset, length);
        if (!visit(record)) {
            return false;
        }
        if (record.last) {
            return true;
        }
        at = record.data_offset + length;
    }
    return false;  // no last record: the loader would run off the image's end
}
