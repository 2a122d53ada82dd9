#pragma once
// The instrument's USB descriptors: the device descriptor with the identity of
// the boot image it runs, one configuration with one vendor interface and its
// bulk endpoints, and its strings. Tests may replace any of them with odd ones.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sim/boot_eeprom.h"

namespace sim {

struct EndpointSpec {
    std::uint8_t address = 0;
    std::uint8_t attributes = 0;  // bmAttributes: 1 isochronous, 2 bulk, 3 interrupt
    std::uint16_t max_packet_size = 0;
};

constexpr std::uint8_t STRING_MANUFACTURER = 1;
constexpr std::uint8_t STRING_PRODUCT = 2;
constexpr std::uint8_t STRING_SERIAL = 3;

struct UsbIdentityConfig {
    // nullopt: one made from the device number; empty: the device has none.
    std::optional<std::string> serial;
    std::string manufacturer = "Talvenor AG";
    std::string product = "Ombrix instrument";
    // Replacements for the descriptors the identity would give.
    std::optional<std::vector<std::uint8_t>> device_descriptor;
    std::optional<std::vector<std::uint8_t>> configuration_descriptor;
};

// Bulk OUT 0x02 and bulk IN 0x86, 512 bytes each.
std::vector<EndpointSpec> instrument_endpoints();

std::vector<std::uint8_t> make_device_descriptor(const BootIdentity& identity, bool has_serial);
// One configuration, one interface with the endpoints; claimed_endpoints sets a
// bNumEndpoints other than the number of endpoint descriptors that follow.
std::vector<std::uint8_t> make_configuration_descriptor(
    std::span<const EndpointSpec> endpoints, std::optional<std::uint8_t> claimed_endpoints = {});
// A string descriptor: the text's characters as UTF-16 code units (at most 126).
std::vector<std::uint8_t> make_string_descriptor(std::string_view text);
// String descriptor 0: the supported languages (US English).
std::vector<std::uint8_t> make_language_descriptor();

// The descriptor a GET_DESCRIPTOR request names; nullopt when there is none
// (the request stalls).
std::optional<std::vector<std::uint8_t>> descriptor_for(const UsbIdentityConfig& config,
                                                        const BootIdentity& identity,
                                                        std::uint8_t type, std::uint8_t index);

}  // namespace sim
