#pragma once
// The embedded image set as the executable carries it, resource by resource,
// before any loading rule has been applied.
#include <cstddef>
#include <cstdint>
#include <span>

#include "resources/embedded_image_set.h"

// The whole resource, header included; empty when it is missing.
inline std::span<const std::uint8_t> embedded_resource(int id) {
    ResourceSource& source = embedded_image_source();
    const auto size = source.resource_size(id);
    const std::uint8_t* bytes = source.resource_bytes(id);
    if (!size || bytes == nullptr) {
        return {};
    }
    return {bytes, static_cast<std::size_t>(*size)};
}

inline std::uint16_t read_le16(std::span<const std::uint8_t> bytes, std::size_t at) {
    return static_cast<std::uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

inline std::uint16_t read_be16(std::span<const std::uint8_t> bytes, std::size_t at) {
    return static_cast<std::uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}

inline std::uint32_t read_le32(std::span<const std::uint8_t> bytes, std::size_t at) {
    return static_cast<std::uint32_t>(read_le16(bytes, at)) |
           static_cast<std::uint32_t>(read_le16(bytes, at + 2)) << 16;
}

inline std::uint32_t read_be32(std::span<const std::uint8_t> bytes, std::size_t at) {
    return static_cast<std::uint32_t>(read_be16(bytes, at)) << 16 | read_be16(bytes, at + 2);
}
