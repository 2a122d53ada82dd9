#include "sim/synthetic_images.h"

#include "sim/faults.h"
#include "sim/pmbus_script.h"

namespace sim {
namespace {

std::vector<std::uint8_t> random_bytes(Rng& rng, std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::uint8_t& byte : bytes) {
        byte = rng.byte();
    }
    return bytes;
}

std::vector<std::uint8_t> bitstream_bytes(Rng& rng, std::size_t size) {
    std::vector<std::uint8_t> bytes = random_bytes(rng, size);
    for (std::size_t i = 0; i < bytes.size() && i < 4; ++i) {
        bytes[i] = 0xFF;
    }
    return bytes;
}

// A C2 boot image of the given size whose load records the controller runs:
// the header, records of random code from address 0 (at most 1,023 bytes
// each), and the record that starts the 8051. Sizes too small for a record
// still end with the start record where it fits.
std::vector<std::uint8_t> c2_image(Rng& rng, std::size_t size) {
    constexpr std::size_t HEADER = 8;
    constexpr std::size_t RECORD_HEAD = 4;
    constexpr std::size_t MAX_RECORD = 1023;
    constexpr std::uint8_t END_RECORD[5] = {0x80, 0x01, 0xE6, 0x00, 0x00};
    std::vector<std::uint8_t> bytes = random_bytes(rng, size < HEADER ? HEADER : size);
    const std::uint8_t header[HEADER] = {
        0xC2,
        static_cast<std::uint8_t>(SYNTHETIC_VENDOR_ID),
        static_cast<std::uint8_t>(SYNTHETIC_VENDOR_ID >> 8),
        static_cast<std::uint8_t>(SYNTHETIC_PRODUCT_ID),
        static_cast<std::uint8_t>(SYNTHETIC_PRODUCT_ID >> 8),
        static_cast<std::uint8_t>(SYNTHETIC_DEVICE_ID),
        static_cast<std::uint8_t>(SYNTHETIC_DEVICE_ID >> 8),
        0x04,
    };
    std::copy(std::begin(header), std::end(header), bytes.begin());
    if (bytes.size() < HEADER + sizeof END_RECORD) {
        return bytes;
    }
    const std::size_t body = bytes.size() - HEADER - sizeof END_RECORD;
    // As few records as hold the body, each of at least one byte.
    const std::size_t records =
        body < RECORD_HEAD + 1 ? 0 : (body + RECORD_HEAD + MAX_RECORD - 1) / (RECORD_HEAD + MAX_RECORD);
    std::size_t data = records > 0 ? body - RECORD_HEAD * records : 0;
    std::size_t at = HEADER;
    std::uint16_t address = 0;
    for (std::size_t record = 0; record < records; ++record) {
        const std::size_t length = std::min(MAX_RECORD, data - (records - record - 1));
        bytes[at] = static_cast<std::uint8_t>(length >> 8);
        bytes[at + 1] = static_cast<std::uint8_t>(length);
        bytes[at + 2] = static_cast<std::uint8_t>(address >> 8);
        bytes[at + 3] = static_cast<std::uint8_t>(address);
        at += RECORD_HEAD + length;
        address = static_cast<std::uint16_t>(address + length);
        data -= length;
    }
    std::copy(std::begin(END_RECORD), std::end(END_RECORD), bytes.begin() + static_cast<std::ptrdiff_t>(at));
    return bytes;
}

}  // namespace

std::vector<std::uint8_t> synthetic_supply_script(const char* date, int outputs,
                                                  std::uint16_t seed) {
    ScriptBuilder script;
    script.block(0x9D, date)
        .block(0x9B, "REV-A01")
        .block(0x99, "TALVNR")
        .block(0x9A, "OMB")
        .block(0x9E, "1")
        .block(0x9C, "Z")
        .word(0x33, linear11(500, 0))  // FREQUENCY_SWITCH, common to all outputs
        .word(0xE1, static_cast<std::uint16_t>(0x1000 + seed));
    for (int output = 0; output < outputs; ++output) {
        const auto step = static_cast<std::uint16_t>(seed + output);
        script.page(static_cast<std::uint8_t>(output))
            .byte(0x01, 0x80)
            .byte(0x02, 0x16)
            .word(0x21, static_cast<std::uint16_t>(0x0800 + step))            // VOUT_COMMAND
            .word(0x46, linear11(static_cast<std::uint16_t>(40 + step), -2))  // IOUT_OC_FAULT_LIMIT
            .word(0x60, linear11(static_cast<std::uint16_t>(10 + step), 0))   // TON_DELAY
            .send(0x03);
        for (std::uint8_t table = 0; table < 3; ++table) {
            std::vector<std::uint8_t> data(24);
            for (std::size_t i = 0; i < data.size(); ++i) {
                data[i] = static_cast<std::uint8_t>(step * 7 + table * 31 + i);
            }
            script.byte(0xD4, table).block(0xD5, data);
        }
    }
    return script.bytes();
}

SyntheticImages::SyntheticImages(std::uint64_t seed, SyntheticSizes sizes) {
    Rng rng(seed);
    flash_core = random_bytes(rng, sizes.flash_core);
    configuration_sequence = random_bytes(rng, sizes.configuration_sequence);
    factory_bitstream = bitstream_bytes(rng, sizes.factory_bitstream);
    factory_firmware = random_bytes(rng, sizes.factory_firmware);
    bitstream = bitstream_bytes(rng, sizes.bitstream);
    firmware = random_bytes(rng, sizes.firmware);
    usb_firmware = c2_image(rng, sizes.usb_firmware);
    supply_a_script = synthetic_supply_script(SYNTHETIC_SUPPLY_DATE, 3, 5);
    supply_b_script = synthetic_supply_script(SYNTHETIC_SUPPLY_DATE, 4, 9);
}

ImageSet SyntheticImages::set() const {
    return ImageSet{
        flash_core, configuration_sequence, factory_bitstream, factory_firmware, bitstream,
        firmware,   usb_firmware,           supply_a_script,   supply_b_script};
}

}  // namespace sim
