// The embedded power-supply scripts, walked record by record as the power
// configuration plays them, against its command attribute table.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "board/pmbus_commands.h"
#include "tests/tools/embedded_resource.h"

namespace {

using Bytes = std::span<const std::uint8_t>;

constexpr int PAGE = 0x00;
constexpr int COMPENSATION_INDEX = 0xD4;
constexpr int COMPENSATION_BLOCK = 0xD5;

struct Record {
    std::size_t offset = 0;
    int command = 0;
    std::uint16_t value = 0;
    Bytes block;  // kinds 6 and 7 only
    PmbusCommandAttributes attribute() const {
        return pmbus_command_attributes(static_cast<std::uint8_t>(command));
    }
    // A skipped command's record is 3 bytes whatever its kind.
    bool is_block() const {
        const PmbusCommandAttributes a = attribute();
        return (a.flags & PMBUS_WRITTEN) != 0 &&
               (a.kind == PMBUS_BLOCK || a.kind == PMBUS_BLOCK_VENDOR);
    }
    std::string text() const { return std::string(block.begin(), block.end()); }
};

// Records laid end to end; a block record carries as many bytes as the low
// byte of its value says. Fails when a record would run past the end.
testing::AssertionResult walk_script(Bytes script, std::vector<Record>& records) {
    std::size_t at = 0;
    while (at < script.size()) {
        if (at + 3 > script.size()) {
            return testing::AssertionFailure() << "record at " << at << " is cut by the end";
        }
        Record record{at, script[at], read_le16(script, at + 1), {}};
        at += 3;
        if (record.is_block()) {
            const std::size_t length = record.value & 0xFF;
            if (at + length > script.size()) {
                return testing::AssertionFailure()
                       << "block at " << record.offset << " runs past the end";
            }
            record.block = script.subspan(at, length);
            at += length;
        }
        records.push_back(record);
    }
    return testing::AssertionSuccess();
}

struct ScriptCase {
    int id;
    std::size_t size;
    std::size_t records;
    int outputs;
};
constexpr std::array<ScriptCase, 2> SCRIPTS = {{{408, 912, 213, 3}, {409, 1176, 277, 4}}};

std::vector<Record> records_of(int id) {
    std::vector<Record> records;
    EXPECT_TRUE(walk_script(embedded_resource(id), records)) << "script " << id;
    return records;
}

// The records of one output's section, PAGE record first.
std::vector<std::vector<Record>> sections_of(const std::vector<Record>& records) {
    std::vector<std::vector<Record>> sections;
    for (const Record& record : records) {
        if (record.command == PAGE) {
            sections.emplace_back();
        }
        if (!sections.empty()) {
            sections.back().push_back(record);
        }
    }
    return sections;
}

double decode_linear11(std::uint16_t value) {
    const int mantissa = value & 0x7FF;
    int exponent = value >> 11;
    if (exponent > 15) {
        exponent -= 32;
    }
    return std::ldexp(mantissa, exponent);
}

double decode_vout(std::uint16_t value) {
    return std::ldexp(value, -12);
}

TEST(PowerScripts, WalkRecordByRecordToTheirExactEnd) {
    for (const ScriptCase& script : SCRIPTS) {
        const Bytes bytes = embedded_resource(script.id);
        EXPECT_EQ(bytes.size(), script.size);
        std::vector<Record> records;
        ASSERT_TRUE(walk_script(bytes, records)) << "script " << script.id;
        EXPECT_EQ(records.size(), script.records) << "script " << script.id;
    }
}

TEST(PowerScripts, BeginWithTheSixManufacturerBlocksInOrder) {
    const std::array<std::pair<int, std::size_t>, 6> blocks = {
        {{0x9D, 6}, {0x9B, 7}, {0x99, 6}, {0x9A, 3}, {0x9E, 1}, {0x9C, 1}}};
    for (const ScriptCase& script : SCRIPTS) {
        const std::vector<Record> records = records_of(script.id);
        ASSERT_GT(records.size(), blocks.size());
        for (std::size_t i = 0; i < blocks.size(); ++i) {
            EXPECT_EQ(records[i].command, blocks[i].first) << "script " << script.id;
            EXPECT_EQ(records[i].value, blocks[i].second) << "script " << script.id;
        }
        // The check phase reads the count at byte 1 and the date at bytes 3 to 8.
        const std::string date = records[0].text();
        ASSERT_EQ(records[0].offset, 0U);
        ASSERT_EQ(date.size(), 6U);
        for (const char digit : date) {
            EXPECT_TRUE(digit >= '0' && digit <= '9') << date;
        }
        const int month = std::stoi(date.substr(2, 2));
        const int day = std::stoi(date.substr(4, 2));
        EXPECT_TRUE(month >= 1 && month <= 12) << date;
        EXPECT_TRUE(day >= 1 && day <= 31) << date;
    }
}

TEST(PowerScripts, UseOnlyWrittenCommandsInTheirKindsLayout) {
    for (const ScriptCase& script : SCRIPTS) {
        for (const Record& record : records_of(script.id)) {
            const PmbusCommandAttributes attribute = record.attribute();
            SCOPED_TRACE("script " + std::to_string(script.id) + ", record at " +
                         std::to_string(record.offset));
            EXPECT_NE(attribute.kind, PMBUS_SKIPPED);
            EXPECT_NE(attribute.flags & PMBUS_WRITTEN, 0);
            // Storing or restoring defaults belongs to the store sequence only.
            EXPECT_NE(record.command, 0x11);
            EXPECT_NE(record.command, 0x12);
            if (attribute.kind == PMBUS_SEND_ONLY) {
                EXPECT_LE(record.value, 100) << "pause in ms";
            }
            if (attribute.kind == PMBUS_BYTE || record.is_block()) {
                EXPECT_EQ(record.value >> 8, 0);
            }
        }
    }
}

TEST(PowerScripts, HaveOneSectionPerOutputWithThreeCompensationBlocks) {
    for (const ScriptCase& script : SCRIPTS) {
        SCOPED_TRACE("script " + std::to_string(script.id));
        const std::vector<Record> records = records_of(script.id);
        // Settings common to all outputs come between the manufacturer blocks
        // and the first section.
        std::size_t first_page = 0;
        while (first_page < records.size() && records[first_page].command != PAGE) {
            ++first_page;
        }
        EXPECT_GT(first_page, 6U);
        for (std::size_t i = 0; i < first_page; ++i) {
            EXPECT_NE(records[i].command, COMPENSATION_INDEX);
            EXPECT_NE(records[i].command, COMPENSATION_BLOCK);
        }

        const auto sections = sections_of(records);
        ASSERT_EQ(sections.size(), static_cast<std::size_t>(script.outputs));
        for (std::size_t page = 0; page < sections.size(); ++page) {
            const std::vector<Record>& section = sections[page];
            EXPECT_EQ(section.front().value, page);
            std::vector<int> indexes;
            for (std::size_t i = 0; i < section.size(); ++i) {
                if (section[i].command == COMPENSATION_INDEX) {
                    indexes.push_back(section[i].value);
                    ASSERT_LT(i + 1, section.size());
                    EXPECT_EQ(section[i + 1].command, COMPENSATION_BLOCK);
                    EXPECT_EQ(section[i + 1].block.size(), 24U);
                }
                if (section[i].command == COMPENSATION_BLOCK) {
                    ASSERT_GT(i, 0U);
                    EXPECT_EQ(section[i - 1].command, COMPENSATION_INDEX);
                }
            }
            EXPECT_EQ(indexes, (std::vector<int>{0, 1, 2})) << "page " << page;
        }
    }
}

// The values a supply takes as one number per command within a record list.
std::map<int, double> linear_values(const std::vector<Record>& records) {
    std::map<int, double> values;
    for (const Record& record : records) {
        if (record.attribute().kind == PMBUS_LINEAR11) {
            values[record.command] = decode_linear11(record.value);
        } else if (record.attribute().kind == PMBUS_FIXED_EXPONENT) {
            values[record.command] = decode_vout(record.value);
        }
    }
    return values;
}

TEST(PowerScripts, Linear11ValuesReadTheSameAsSignedAndUnsignedMantissas) {
    for (const ScriptCase& script : SCRIPTS) {
        for (const Record& record : records_of(script.id)) {
            if (record.attribute().kind == PMBUS_LINEAR11) {
                EXPECT_EQ(record.value & 0x400, 0)
                    << "script " << script.id << ", command " << record.command;
                EXPECT_LE(decode_linear11(record.value), 1000.0);
            }
        }
    }
}

TEST(PowerScripts, InputLimitsAreOrderedAroundTheTurnOnThreshold) {
    for (const ScriptCase& script : SCRIPTS) {
        SCOPED_TRACE("script " + std::to_string(script.id));
        auto values = linear_values(records_of(script.id));
        // VIN_UV_FAULT < VIN_UV_WARN, VIN_OFF < VIN_ON < VIN_OV_WARN < VIN_OV_FAULT
        EXPECT_LT(values.at(0x59), values.at(0x58));
        EXPECT_LT(values.at(0x59), values.at(0x36));
        EXPECT_LT(values.at(0x36), values.at(0x35));
        EXPECT_LT(values.at(0x35), values.at(0x57));
        EXPECT_LT(values.at(0x57), values.at(0x55));
        EXPECT_GT(values.at(0x33), 100.0) << "switching frequency in kHz";
        EXPECT_LT(values.at(0x33), 2000.0) << "switching frequency in kHz";
    }
}

TEST(PowerScripts, EachOutputsLimitsBracketItsVoltageAndTemperature) {
    for (const ScriptCase& script : SCRIPTS) {
        const auto sections = sections_of(records_of(script.id));
        for (std::size_t page = 0; page < sections.size(); ++page) {
            SCOPED_TRACE("script " + std::to_string(script.id) + ", page " + std::to_string(page));
            auto v = linear_values(sections[page]);
            const double command = v.at(0x21);  // VOUT_COMMAND
            EXPECT_GE(command, 0.5);
            EXPECT_LE(command, 5.5);
            EXPECT_LT(v.at(0x44), v.at(0x43));  // UV fault below UV warn
            EXPECT_LT(v.at(0x43), command);
            EXPECT_LT(command, v.at(0x42));     // OV warn
            EXPECT_LT(v.at(0x42), v.at(0x40));  // OV fault
            EXPECT_LE(v.at(0x40), v.at(0x24));  // VOUT_MAX
            EXPECT_LT(v.at(0x26), command);     // margins
            EXPECT_GT(v.at(0x25), command);
            EXPECT_LT(v.at(0x4A), v.at(0x46));  // IOUT warn below fault
            EXPECT_LT(v.at(0x51), v.at(0x4F));  // OT warn below fault
            EXPECT_GE(v.at(0x4F), 50.0);
            EXPECT_LE(v.at(0x4F), 150.0);
        }
    }
}

}  // namespace
