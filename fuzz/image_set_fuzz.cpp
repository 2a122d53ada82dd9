// The image-set loading rules over arbitrary resources: sizes, missing,
// unmappable and oversized resources, bitstream minimum and header skip.
//
// The bitstream minimum is lowered to a few bytes so that every input stays
// small and fast; the rules that run are the ones the program uses. Each
// resource lives in a heap buffer of exactly its reported size, so the
// sanitizer reports any read past it. A model of the rules, written
// independently here, says what every slot must hold afterwards.
#include <array>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "images/images.h"

namespace {

// Small enough for resources of a few hundred bytes, yet below the end of the
// header search, so that a search running off a short bitstream would show.
constexpr std::uint32_t FUZZ_BITSTREAM_MIN_EXCLUSIVE = 64;
// Bitstream sizes range over [0, this): past the minimum and past the last
// position the header search looks at.
constexpr std::uint32_t FUZZ_BITSTREAM_SIZE_RANGE = 1024;
constexpr std::uint32_t OVERSIZED_BASE = 0x80000000U;

enum class Kind { present, missing, unmappable, oversized };

struct Resource {
    Kind kind = Kind::missing;
    std::uint32_t size = 0;
    std::unique_ptr<std::uint8_t[]> bytes;  // exactly size bytes when present

    std::span<const std::uint8_t> view() const { return {bytes.get(), size}; }
};

bool is_bitstream(int id) { return id == IMAGE_FACTORY_BITSTREAM || id == IMAGE_BITSTREAM; }

std::size_t index_of(int id) { return static_cast<std::size_t>(id - IMAGE_ID_FIRST); }

// One shape byte per id, in id order. Bit 7 clear: present. Bit 7 set: bits
// 6-5 choose missing (00, 01), reported but unmappable (10) or reporting a
// size above what a signed 32-bit length holds (11). A bitstream that is
// present or unmappable takes its size from the next word modulo the range;
// another present resource's size is bits 6-0 of the shape, an unmappable
// one's bits 4-0. A present resource's bytes come from the input, zeros once
// the input runs out.
class FuzzedResources final : public ResourceSource {
public:
    FuzzedResources(FuzzInput& input, std::uint32_t bitstream_min_exclusive)
        : bitstream_min_exclusive_(bitstream_min_exclusive) {
        for (int id = IMAGE_ID_FIRST; id <= IMAGE_ID_LAST; ++id) {
            Resource& resource = resources_[index_of(id)];
            const std::uint8_t shape = input.byte();
            if ((shape & 0x80) == 0) {
                resource.kind = Kind::present;
            } else if ((shape & 0x60) == 0x40) {
                resource.kind = Kind::unmappable;
            } else if ((shape & 0x60) == 0x60) {
                resource.kind = Kind::oversized;
            } else {
                resource.kind = Kind::missing;
            }
            switch (resource.kind) {
                case Kind::missing: continue;
                case Kind::oversized: resource.size = OVERSIZED_BASE + (shape & 0x1FU); continue;
                case Kind::unmappable:
                    resource.size = is_bitstream(id) ? input.word() % FUZZ_BITSTREAM_SIZE_RANGE
                                                     : static_cast<std::uint32_t>(shape & 0x1F);
                    continue;
                case Kind::present:
                    resource.size = is_bitstream(id) ? input.word() % FUZZ_BITSTREAM_SIZE_RANGE
                                                     : static_cast<std::uint32_t>(shape & 0x7F);
                    break;
            }
            // new[] of zero bytes still gives a distinct pointer that the
            // sanitizer treats as holding nothing.
            resource.bytes = std::make_unique<std::uint8_t[]>(resource.size);
            const std::vector<std::uint8_t> given = input.bytes(resource.size);
            if (!given.empty()) {
                std::memcpy(resource.bytes.get(), given.data(), given.size());
            }
        }
    }

    std::optional<std::uint32_t> resource_size(int id) override {
        const Resource* resource = find(id);
        if (resource == nullptr || resource->kind == Kind::missing) {
            return std::nullopt;
        }
        return resource->size;
    }

    const std::uint8_t* resource_bytes(int id) override {
        Resource* resource = find(id);
        if (resource == nullptr) {
            __builtin_trap();  // the loader asked for an id outside the catalogue
        }
        // A resource too large for an image, or a bitstream at or under the
        // minimum, is refused by its size alone and never mapped.
        if (resource->kind == Kind::oversized) {
            __builtin_trap();
        }
        if (is_bitstream(id) && resource->kind != Kind::missing &&
            resource->size <= bitstream_min_exclusive_) {
            __builtin_trap();
        }
        return resource->kind == Kind::present ? resource->bytes.get() : nullptr;
    }

    const Resource& at(int id) const { return resources_[index_of(id)]; }

private:
    Resource* find(int id) {
        return id < IMAGE_ID_FIRST || id > IMAGE_ID_LAST ? nullptr : &resources_[index_of(id)];
    }

    std::uint32_t bitstream_min_exclusive_;
    std::array<Resource, IMAGE_COUNT> resources_;
};

// What a slot must hold after loading: data and length, data null when the
// image is not usable.
struct Expected {
    const std::uint8_t* data = nullptr;
    std::int32_t length = 0;
};

Expected expected_bitstream(const Resource& resource, std::uint32_t min_exclusive) {
    if (resource.kind != Kind::present || resource.size <= min_exclusive) {
        return {};
    }
    const std::span<const std::uint8_t> bytes = resource.view();
    constexpr std::size_t search = static_cast<std::size_t>(BITSTREAM_HEADER_SEARCH);
    for (std::size_t p = 0; p < search && p + 3 < bytes.size(); ++p) {
        if (bytes[p] == 0xFF && bytes[p + 1] == 0xFF && bytes[p + 2] == 0xFF &&
            bytes[p + 3] == 0xFF) {
            return {bytes.data() + p, static_cast<std::int32_t>(bytes.size() - p)};
        }
    }
    return {};
}

Expected expected_image(const Resource& resource, int id, std::uint32_t min_exclusive) {
    if (is_bitstream(id)) {
        return expected_bitstream(resource, min_exclusive);
    }
    if (resource.kind != Kind::present) {
        return {};
    }
    return {resource.bytes.get(), static_cast<std::int32_t>(resource.size)};
}

std::uint32_t little_endian_32(std::span<const std::uint8_t> bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput input(data, size);
    FuzzedResources resources(input, FUZZ_BITSTREAM_MIN_EXCLUSIVE);
    ImageLoadingLimits limits;
    limits.bitstream_min_exclusive = FUZZ_BITSTREAM_MIN_EXCLUSIVE;
    const bool complete = image_set_load(resources, limits);

    bool expected_complete = true;
    for (int id = IMAGE_ID_FIRST; id <= IMAGE_ID_LAST; ++id) {
        const FirmwareImage& image = firmware_image(id);
        const Expected expected =
            expected_image(resources.at(id), id, limits.bitstream_min_exclusive);
        if (image.data != expected.data) {
            __builtin_trap();
        }
        if (expected.data != nullptr && image.length != expected.length) {
            __builtin_trap();
        }
        // The version table holds two 32-bit revisions; every other image
        // must have at least one byte.
        const std::int32_t needed = id == IMAGE_VERSION_TABLE ? 8 : 1;
        if (expected.data == nullptr || expected.length < needed) {
            expected_complete = false;
        }
        // Touch every byte the image claims: out of bounds shows up here.
        volatile std::uint8_t sum = 0;
        for (const std::uint8_t byte : image.bytes()) {
            sum = static_cast<std::uint8_t>(sum + byte);
        }
    }
    if (complete != expected_complete) {
        __builtin_trap();
    }
    if (complete) {
        const AvailableVersions versions = available_versions();
        const std::span<const std::uint8_t> table = resources.at(IMAGE_VERSION_TABLE).view();
        if (versions.fpga_revision != little_endian_32(table.first(4)) ||
            versions.firmware_revision != little_endian_32(table.subspan(4, 4))) {
            __builtin_trap();
        }
    }
    return 0;
}
