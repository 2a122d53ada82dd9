// The image-set loading rules over arbitrary resources: sizes, missing
// resources and bitstream headers.
#include <map>

#include "images/images.h"
#include "fuzz/fuzz_input.h"

namespace {

constexpr std::size_t BITSTREAM_SIZE = 0x100000 + 512;

class FuzzedResources final : public ResourceSource {
public:
    explicit FuzzedResources(FuzzInput& input) {
        for (int id = IMAGE_ID_FIRST; id <= IMAGE_ID_LAST; ++id) {
            const std::uint8_t shape = input.byte();
            if ((shape & 0x80) != 0) {
                continue;  // missing
            }
            const bool bitstream = id == IMAGE_FACTORY_BITSTREAM || id == IMAGE_BITSTREAM;
            std::vector<std::uint8_t> bytes = input.bytes(shape & 0x3F);
            // A bitstream is only looked at when it is large: its first bytes
            // come from the input, the rest is filler. Bit 6 makes it one too small.
            if (bitstream) {
                const std::size_t size = (shape & 0x40) != 0 ? 0xFFFFF : BITSTREAM_SIZE;
                bytes.resize(size, 0x00);
            }
            resources_[id] = std::move(bytes);
        }
    }

    std::optional<std::uint32_t> resource_size(int id) override {
        auto found = resources_.find(id);
        if (found == resources_.end()) {
            return std::nullopt;
        }
        return static_cast<std::uint32_t>(found->second.size());
    }
    const std::uint8_t* resource_bytes(int id) override {
        auto found = resources_.find(id);
        return found == resources_.end() ? nullptr : found->second.data();
    }

private:
    std::map<int, std::vector<std::uint8_t>> resources_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput input(data, size);
    FuzzedResources resources(input);
    const bool complete = image_set_load(resources);
    for (int id = IMAGE_ID_FIRST; id <= IMAGE_ID_LAST; ++id) {
        const FirmwareImage& image = firmware_image(id);
        if (complete && (image.data == nullptr || image.length <= 0)) {
            __builtin_trap();
        }
        // Touch every byte the image claims: out of bounds shows up here.
        volatile std::uint8_t sum = 0;
        for (const std::uint8_t byte : image.bytes()) {
            sum = static_cast<std::uint8_t>(sum + byte);
        }
    }
    if (complete) {
        const AvailableVersions versions = available_versions();
        (void)versions;
    }
    return 0;
}
