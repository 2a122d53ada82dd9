#include "device/usb_descriptors.h"

#include <algorithm>
#include <cstring>


namespace {

std::uint16_t little_endian_16(std::span<const std::uint8_t> bytes, std::size_t at) {
    return static_cast<std::uint16_t>(bytes[at] | (bytes[at + 1] << 8));
}

constexpr std::size_t CONFIGURATION_ENDPOINT_COUNT_AT = 13;
constexpr std::size_t CONFIGURATION_FIRST_ENDPOINT_AT = 18;
constexpr std::size_t ENDPOINT_DESCRIPTOR_LENGTH = 7;

}  // namespace

DeviceIdentity parse_device_descriptor(
    std::span<const std::uint8_t, DEVICE_DESCRIPTOR_LENGTH> bytes) {
    DeviceIdentity identity;
    identity.vendor_id = little_endian_16(bytes, 8);
    identity.product_id = little_endian_16(bytes, 10);
    identity.manufacturer_index = bytes[14];
    identity.product_index = bytes[15];
    identity.serial_index = bytes[16];
    return identity;
}

void serial_from_string_descriptor(std::span<const std::uint8_t> descriptor, char (&serial)[36]) {
    std::memset(serial, 0, sizeof serial);
    if (descriptor.empty()) {
        return;
    }
    const std::size_t declared_length = descriptor[0];
    std::size_t characters = 0;
    if (declared_length > 2) {
        // The low byte of each UTF-16 code unit, as far as both the declared
        // length and the bytes that arrived reach.
        const std::size_t declared_characters = (declared_length - 1) / 2;
        for (; characters < declared_characters && characters < USB_SERIAL_NUMBER_MAX_CHARS;
             ++characters) {
            const std::size_t at = 2 + 2 * characters;
            if (at >= descriptor.size()) {
                break;
            }
            serial[characters] = static_cast<char>(descriptor[at]);
        }
    } else {
        characters = std::min<std::size_t>(descriptor.size(), USB_SERIAL_NUMBER_MAX_CHARS);
        std::memcpy(serial, descriptor.data(), characters);
    }
    serial[characters] = '\0';
}

std::vector<EndpointInfo> count_pipe_endpoints(std::span<const std::uint8_t> configuration) {
    std::vector<EndpointInfo> endpoints;
    if (configuration.size() <= CONFIGURATION_ENDPOINT_COUNT_AT) {
        return endpoints;
    }
    const std::size_t declared = configuration[CONFIGURATION_ENDPOINT_COUNT_AT];
    for (std::size_t e = 0; e < declared; ++e) {
        const std::size_t at = CONFIGURATION_FIRST_ENDPOINT_AT + ENDPOINT_DESCRIPTOR_LENGTH * e;
        if (at + ENDPOINT_DESCRIPTOR_LENGTH > configuration.size()) {
            break;
        }
        EndpointInfo endpoint;
        endpoint.address = configuration[at + 2];
        endpoint.attributes = configuration[at + 3];
        endpoint.max_packet_size = little_endian_16(configuration, at + 4);
        const int transfer_type = endpoint.attributes & 3;
        if (transfer_type == 2 || transfer_type == 3) {
            endpoints.push_back(endpoint);
        }
    }
    return endpoints;
}
