#pragma once
// What the standard descriptors of an instrument say, read only within the
// bytes that arrived.
#include <cstdint>
#include <span>
#include <vector>

// The serial number as a device record holds it: at most 32 characters and
// the terminating zero, in a field of 36 bytes.
constexpr int USB_SERIAL_NUMBER_SIZE = 36;
constexpr int USB_SERIAL_NUMBER_MAX_CHARS = 32;

constexpr int DEVICE_DESCRIPTOR_LENGTH = 18;

struct DeviceIdentity {
    std::uint16_t vendor_id = 0;
    std::uint16_t product_id = 0;
    std::uint8_t manufacturer_index = 0;
    std::uint8_t product_index = 0;
    std::uint8_t serial_index = 0;
};

struct EndpointInfo {
    std::uint8_t address = 0;
    std::uint8_t attributes = 0;
    std::uint16_t max_packet_size = 0;

    bool is_in() const { return (address & 0x80) != 0; }
    bool is_bulk() const { return (attributes & 3) == 2; }
};

DeviceIdentity parse_device_descriptor(std::span<const std::uint8_t, DEVICE_DESCRIPTOR_LENGTH> bytes);

// The serial number text (at most 32 characters and a NUL) from a string
// descriptor; an empty descriptor gives the empty text.
void serial_from_string_descriptor(std::span<const std::uint8_t> descriptor, char (&serial)[36]);

// The bulk and interrupt endpoints of the first interface, in descriptor order.
// The configuration is read the fixed way the instrument lays it out: the
// interface's bNumEndpoints at byte 13 and endpoint e at byte 18 + 7e. An
// endpoint that does not lie wholly within the bytes that arrived is not
// counted.
std::vector<EndpointInfo> count_pipe_endpoints(std::span<const std::uint8_t> configuration);
