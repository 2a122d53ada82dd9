#pragma once
// Plays configuration scripts against the simulated supplies and shows what
// went over the wire as "write CC: data" and "read CC/length" lines.
#include "board/power_config.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "board/board_sim.h"

namespace board_test {

inline std::vector<std::uint8_t> text_bytes(const char* text) {
    return {text, text + std::char_traits<char>::length(text)};
}

// Supplies in their factory state; the EEPROM keeps the controller's firmware.
inline sim::InitialState blank_supplies() {
    return {sim::Contents::current, sim::Contents::current, sim::Contents::blank};
}

class PowerConfigTest : public BoardSimTest {
  protected:
    // Plays the script from a buffer of exactly its size, so that a read past
    // its end is caught by the address sanitizer.
    int play(const std::vector<std::uint8_t>& script, int address = BUS_ADDRESS_SUPPLY_A,
             int overall_from = 124, int overall_to = 125) {
        mark_transfers();
        std::unique_ptr<std::uint8_t[]> exact;
        if (!script.empty()) {
            exact = std::make_unique<std::uint8_t[]>(script.size());
            std::copy(script.begin(), script.end(), exact.get());
        }
        return power_config_program(device_, address, exact.get(), static_cast<int>(script.size()),
                                    overall_from, overall_to);
    }

    int store(int address = BUS_ADDRESS_SUPPLY_A) {
        return play({std::begin(POWER_STORE_SEQUENCE), std::end(POWER_STORE_SEQUENCE)}, address,
                    125, 126);
    }

    // The transfers as "write CC: data" and "read CC/length".
    std::vector<std::string> wire() const {
        std::vector<std::string> lines;
        for (const sim::TransferRecord& record : transfers()) {
            char line[16];
            if (record.in) {
                std::snprintf(line, sizeof line, "read %02X/%u", record.setup.index,
                              record.setup.length);
                lines.emplace_back(line);
                continue;
            }
            std::snprintf(line, sizeof line, "write %02X:", record.setup.index);
            std::string text = line;
            for (const std::uint8_t byte : record.data) {
                std::snprintf(line, sizeof line, " %02X", byte);
                text += line;
            }
            lines.push_back(text);
        }
        return lines;
    }

    void expect_requests_to(int address) const {
        for (const sim::TransferRecord& record : transfers()) {
            EXPECT_EQ(record.setup.request, VREQ_BUS_TRANSFER);
            EXPECT_EQ(record.setup.value, (record.in ? 0x0900 : 0x0100) + address);
        }
    }
};

}  // namespace board_test
