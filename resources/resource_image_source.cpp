// The image set as RCDATA resources of the executable itself.
#include <windows.h>

#include "resources/embedded_image_set.h"

namespace {

class Win32ResourceSource final : public ResourceSource {
public:
    std::optional<std::uint32_t> resource_size(int id) override {
        HRSRC resource = find(id);
        if (resource == nullptr) {
            return std::nullopt;
        }
        return static_cast<std::uint32_t>(SizeofResource(nullptr, resource));
    }

    // Resources are mapped for the life of the process and never freed.
    const std::uint8_t* resource_bytes(int id) override {
        HRSRC resource = find(id);
        if (resource == nullptr) {
            return nullptr;
        }
        HGLOBAL loaded = LoadResource(nullptr, resource);
        if (loaded == nullptr) {
            return nullptr;
        }
        return static_cast<const std::uint8_t*>(LockResource(loaded));
    }

private:
    static HRSRC find(int id) {
        return FindResourceA(nullptr, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(10));
    }
};

}  // namespace

ResourceSource& embedded_image_source() {
    static Win32ResourceSource source;
    return source;
}
