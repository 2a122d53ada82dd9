#include "sim/pmbus_script.h"

#include <cstring>

namespace sim {

void for_each_script_record(std::span<const std::uint8_t> script,
                            const std::function<void(const ScriptRecord&)>& visit) {
    std::size_t at = 0;
    while (script.size() - at >= 3) {
        ScriptRecord record;
        record.code = script[at];
        record.value = static_cast<std::uint16_t>(script[at + 1] | script[at + 2] << 8);
        record.command = pmbus_command(record.code);
        at += 3;
        if (record.command.kind == PmbusKind::unknown || !record.command.writable) {
            continue;
        }
        if (pmbus_is_block(record.command.kind)) {
            const std::size_t length = record.value & 0xFFU;
            if (script.size() - at < length) {
                return;
            }
            record.block = script.subspan(at, length);
            at += length;
        }
        visit(record);
    }
}

void ScriptBuilder::record(std::uint8_t code, std::uint16_t value) {
    bytes_.push_back(code);
    bytes_.push_back(static_cast<std::uint8_t>(value));
    bytes_.push_back(static_cast<std::uint8_t>(value >> 8));
}

ScriptBuilder& ScriptBuilder::send(std::uint8_t code, std::uint16_t pause_ms) {
    record(code, pause_ms);
    return *this;
}

ScriptBuilder& ScriptBuilder::byte(std::uint8_t code, std::uint8_t value) {
    record(code, value);
    return *this;
}

ScriptBuilder& ScriptBuilder::word(std::uint8_t code, std::uint16_t value) {
    record(code, value);
    return *this;
}

ScriptBuilder& ScriptBuilder::block(std::uint8_t code, std::span<const std::uint8_t> data) {
    record(code, static_cast<std::uint16_t>(data.size() & 0xFF));
    bytes_.insert(bytes_.end(), data.begin(),
                  data.begin() + static_cast<std::ptrdiff_t>(data.size() & 0xFF));
    return *this;
}

ScriptBuilder& ScriptBuilder::block(std::uint8_t code, const char* text) {
    return block(code, std::span(reinterpret_cast<const std::uint8_t*>(text), std::strlen(text)));
}

std::uint16_t linear11(std::uint16_t mantissa, int exponent) {
    return static_cast<std::uint16_t>((static_cast<unsigned>(exponent) & 0x1FU) << 11 |
                                      (mantissa & 0x7FFU));
}

// Only encodings that keep the number under both readings of the mantissa
// (unsigned, and the standard's two's complement) are offered.
std::uint16_t linear11_reencode(std::uint16_t word) {
    const std::uint16_t mantissa = word & 0x7FFU;
    int exponent = word >> 11;
    if (exponent > 15) {
        exponent -= 32;
    }
    if (mantissa != 0 && mantissa % 2 == 0 && mantissa < 1024 && exponent < 15) {
        return linear11(static_cast<std::uint16_t>(mantissa / 2), exponent + 1);
    }
    if (mantissa != 0 && mantissa < 512 && exponent > -16) {
        return linear11(static_cast<std::uint16_t>(mantissa * 2), exponent - 1);
    }
    return word;
}

}  // namespace sim
