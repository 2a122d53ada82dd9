#pragma once
// Power-supply configuration scripts: records of command code, 16-bit
// little-endian value and, for block commands, the value's low byte as the
// block length followed by the block. A reader that walks them as the
// instrument's supplies see them, and a builder for tests.
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "sim/pmbus_commands.h"

namespace sim {

struct ScriptRecord {
    std::uint8_t code = 0;
    std::uint16_t value = 0;
    PmbusCommand command;
    std::span<const std::uint8_t> block;  // block commands only
};

// Calls visit for every record whose command the supplies accept as a
// setting; records of unknown or read-only commands are passed over as 3
// bytes. A block cut short by the end of the script ends the walk.
void for_each_script_record(std::span<const std::uint8_t> script,
                            const std::function<void(const ScriptRecord&)>& visit);

class ScriptBuilder {
  public:
    ScriptBuilder& send(std::uint8_t code, std::uint16_t pause_ms = 0);
    ScriptBuilder& byte(std::uint8_t code, std::uint8_t value);
    ScriptBuilder& word(std::uint8_t code, std::uint16_t value);
    ScriptBuilder& block(std::uint8_t code, std::span<const std::uint8_t> data);
    ScriptBuilder& block(std::uint8_t code, const char* text);
    ScriptBuilder& page(std::uint8_t output) { return byte(pmbus::PAGE, output); }
    std::vector<std::uint8_t> bytes() const { return bytes_; }

  private:
    void record(std::uint8_t code, std::uint16_t value);
    std::vector<std::uint8_t> bytes_;
};

// A LINEAR11 word from its 11-bit mantissa and 5-bit signed exponent.
std::uint16_t linear11(std::uint16_t mantissa, int exponent);
// The same number in another encoding where one exists (mantissa halved or
// doubled, exponent moved the other way); the word itself otherwise.
std::uint16_t linear11_reencode(std::uint16_t word);

}  // namespace sim
