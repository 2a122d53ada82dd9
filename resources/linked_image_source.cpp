// The image set as data linked in by the assembler (images.S).
#include <cstdint>

#include "resources/embedded_image_set.h"

extern "C" {
#define OMBRIX_IMAGE_SYMBOLS(id) \
    extern const std::uint8_t ombrix_image_##id##_begin[]; \
    extern const std::uint8_t ombrix_image_##id##_end[];
OMBRIX_IMAGE_SYMBOLS(400)
OMBRIX_IMAGE_SYMBOLS(401)
OMBRIX_IMAGE_SYMBOLS(402)
OMBRIX_IMAGE_SYMBOLS(403)
OMBRIX_IMAGE_SYMBOLS(404)
OMBRIX_IMAGE_SYMBOLS(405)
OMBRIX_IMAGE_SYMBOLS(406)
OMBRIX_IMAGE_SYMBOLS(407)
OMBRIX_IMAGE_SYMBOLS(408)
OMBRIX_IMAGE_SYMBOLS(409)
#undef OMBRIX_IMAGE_SYMBOLS
}

namespace {

struct LinkedImage {
    const std::uint8_t* begin;
    const std::uint8_t* end;
};

#define OMBRIX_IMAGE_ENTRY(id) {ombrix_image_##id##_begin, ombrix_image_##id##_end}
const LinkedImage linked_images[IMAGE_COUNT] = {
    OMBRIX_IMAGE_ENTRY(400), OMBRIX_IMAGE_ENTRY(401), OMBRIX_IMAGE_ENTRY(402),
    OMBRIX_IMAGE_ENTRY(403), OMBRIX_IMAGE_ENTRY(404), OMBRIX_IMAGE_ENTRY(405),
    OMBRIX_IMAGE_ENTRY(406), OMBRIX_IMAGE_ENTRY(407), OMBRIX_IMAGE_ENTRY(408),
    OMBRIX_IMAGE_ENTRY(409),
};
#undef OMBRIX_IMAGE_ENTRY

class LinkedImageSource final : public ResourceSource {
public:
    std::optional<std::uint32_t> resource_size(int id) override {
        const LinkedImage* image = find(id);
        if (image == nullptr) {
            return std::nullopt;
        }
        return static_cast<std::uint32_t>(image->end - image->begin);
    }
    const std::uint8_t* resource_bytes(int id) override {
        const LinkedImage* image = find(id);
        return image != nullptr ? image->begin : nullptr;
    }

private:
    static const LinkedImage* find(int id) {
        if (id < IMAGE_ID_FIRST || id > IMAGE_ID_LAST) {
            return nullptr;
        }
        return &linked_images[id - IMAGE_ID_FIRST];
    }
};

}  // namespace

ResourceSource& embedded_image_source() {
    static LinkedImageSource source;
    return source;
}
