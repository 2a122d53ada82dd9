#include "sim/usb_identity.h"

#include <algorithm>

namespace sim {
namespace {

constexpr std::uint8_t TYPE_DEVICE = 1;
constexpr std::uint8_t TYPE_CONFIGURATION = 2;
constexpr std::uint8_t TYPE_STRING = 3;
constexpr std::uint8_t TYPE_INTERFACE = 4;
constexpr std::uint8_t TYPE_ENDPOINT = 5;
constexpr std::uint8_t VENDOR_SPECIFIC_CLASS = 0xFF;

std::uint8_t low(std::uint16_t value) {
    return static_cast<std::uint8_t>(value);
}
std::uint8_t high(std::uint16_t value) {
    return static_cast<std::uint8_t>(value >> 8);
}

}  // namespace

std::vector<EndpointSpec> instrument_endpoints() {
    return {{0x02, 0x02, 512}, {0x86, 0x02, 512}};
}

std::vector<std::uint8_t> make_device_descriptor(const BootIdentity& identity, bool has_serial) {
    return {18,
            TYPE_DEVICE,
            0x00,  // USB 2.0
            0x02,
            0x00,
            0x00,
            0x00,
            64,
            low(identity.vendor_id),
            high(identity.vendor_id),
            low(identity.product_id),
            high(identity.product_id),
            low(identity.device_id),
            high(identity.device_id),
            STRING_MANUFACTURER,
            STRING_PRODUCT,
            static_cast<std::uint8_t>(has_serial ? STRING_SERIAL : 0),
            1};
}

std::vector<std::uint8_t> make_configuration_descriptor(
    std::span<const EndpointSpec> endpoints, std::optional<std::uint8_t> claimed_endpoints) {
    const auto total = static_cast<std::uint16_t>(9 + 9 + 7 * endpoints.size());
    std::vector<std::uint8_t> descriptor(total, 0);
    const std::uint8_t head[18] = {
        9,
        TYPE_CONFIGURATION,
        low(total),
        high(total),
        1,
        1,
        0,
        0x80,
        250,  // bus powered, 500 mA
        9,
        TYPE_INTERFACE,
        0,
        0,
        claimed_endpoints.value_or(static_cast<std::uint8_t>(endpoints.size())),
        VENDOR_SPECIFIC_CLASS,
        0,
        0,
        0};
    std::copy(std::begin(head), std::end(head), descriptor.begin());
    std::size_t at = sizeof head;
    for (const EndpointSpec& endpoint : endpoints) {
        const std::uint8_t entry[7] = {7,
                                       TYPE_ENDPOINT,
                                       endpoint.address,
                                       endpoint.attributes,
                                       low(endpoint.max_packet_size),
                                       high(endpoint.max_packet_size),
                                       0};
        std::copy(std::begin(entry), std::end(entry),
                  descriptor.begin() + static_cast<std::ptrdiff_t>(at));
        at += sizeof entry;
    }
    return descriptor;
}

std::vector<std::uint8_t> make_string_descriptor(std::string_view text) {
    const std::size_t characters = std::min<std::size_t>(text.size(), 126);
    std::vector<std::uint8_t> descriptor(2 + 2 * characters, 0);
    descriptor[0] = static_cast<std::uint8_t>(descriptor.size());
    descriptor[1] = TYPE_STRING;
    for (std::size_t i = 0; i < characters; ++i) {
        descriptor[2 + 2 * i] = static_cast<std::uint8_t>(text[i]);
    }
    return descriptor;
}

std::vector<std::uint8_t> make_language_descriptor() {
    return {4, TYPE_STRING, 0x09, 0x04};
}

namespace {

// The bare controller: its built-in identity, no strings, and one interface
// without endpoints (endpoint 0 carries the firmware-load request).
std::optional<std::vector<std::uint8_t>> bare_controller_descriptor(const BootIdentity& identity,
                                                                    std::uint8_t type,
                                                                    std::uint8_t index) {
    if (type == TYPE_DEVICE) {
        std::vector<std::uint8_t> device = make_device_descriptor(identity, false);
        device[14] = 0;  // iManufacturer
        device[15] = 0;  // iProduct
        return device;
    }
    if (type == TYPE_CONFIGURATION && index == 0) {
        return make_configuration_descriptor({});
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> descriptor_for(const UsbIdentityConfig& config,
                                                        const BootIdentity& identity,
                                                        std::uint8_t type, std::uint8_t index) {
    if (!identity.instrument_firmware) {
        return bare_controller_descriptor(identity, type, index);
    }
    switch (type) {
        case TYPE_DEVICE:
            return config.device_descriptor.value_or(
                make_device_descriptor(identity, !config.serial.value_or("").empty()));
        case TYPE_CONFIGURATION:
            if (index != 0) {
                return std::nullopt;
            }
            return config.configuration_descriptor.value_or(
                make_configuration_descriptor(instrument_endpoints()));
        case TYPE_STRING:
            switch (index) {
                case 0:
                    return make_language_descriptor();
                case STRING_MANUFACTURER:
                    return make_string_descriptor(config.manufacturer);
                case STRING_PRODUCT:
                    return make_string_descriptor(config.product);
                case STRING_SERIAL:
                    if (config.serial.value_or("").empty()) {
                        return std::nullopt;
                    }
                    return make_string_descriptor(*config.serial);
                default:
                    return std::nullopt;
            }
        default:
            return std::nullopt;
    }
}

}  // namespace sim
