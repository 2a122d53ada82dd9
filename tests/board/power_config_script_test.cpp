// Playing whole scripts: records that are skipped or cut off, the progress
// bars, pauses, the store sequence, and the supply's stored settings after a
// script and the store.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "board/power_config_fixture.h"

namespace board_test {
namespace {

using sim::ScriptBuilder;
using ::testing::AnyOf;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::Not;
using ::testing::StartsWith;

TEST_F(PowerConfigTest, SkippedRecordsCostNothingAndDoNotMoveTheBar) {
    attach(blank_supplies());
    const auto script = ScriptBuilder()
                            .byte(0x05, 1)     // outside the table
                            .byte(0x01, 0x80)  // played
                            .byte(0x19, 7)     // status only
                            .word(0xA0, 9)     // kind without the written flag
                            .byte(0x8F, 2)     // explicitly skipped
                            .send(0xFD, 2)     // a read-only block is 3 bytes too
                            .word(0x21, 0x0800)
                            .bytes();
    ASSERT_EQ(script.size(), 21U);

    EXPECT_EQ(play(script, BUS_ADDRESS_SUPPLY_A, 126, 127), 0);

    EXPECT_THAT(wire(), ElementsAre("read 01/1", "write 01: 80", "read 01/1",  //
                                    "read 21/2", "write 21: 00 08", "read 21/2"));
    EXPECT_THAT(window_.progress_history(IDC_TASK_PROGRESS), ElementsAre(0, 6 * 128 / 21, 128));
    EXPECT_THAT(window_.progress_history(IDC_OVERALL_PROGRESS), ElementsAre(126, 127));
}

TEST_F(PowerConfigTest, BarMovesAfterEveryHandledRecordFailedOrNot) {
    attach(blank_supplies());
    instrument().faults().pmbus_nack[0xE1] = sim::Trigger::always();
    const auto script = ScriptBuilder()
                            .block(0x9B, "REV-A01")  // 10 bytes
                            .word(0xE1, 1)           // refused
                            .send(0x03, 5)
                            .byte(0x01, 0x80)
                            .bytes();

    EXPECT_EQ(play(script), 1);

    EXPECT_THAT(window_.progress_history(IDC_TASK_PROGRESS),
                ElementsAre(0, 10 * 128 / 19, 13 * 128 / 19, 16 * 128 / 19, 128));
    EXPECT_THAT(window_.progress_history(IDC_OVERALL_PROGRESS), ElementsAre(124, 125));
}

TEST_F(PowerConfigTest, SendOnlyCommandIsWrittenOnceAndItsPauseTaken) {
    attach();
    instrument().faults().pmbus_nack[0x03] = sim::Trigger::always();
    const std::uint64_t start = now_us();

    EXPECT_EQ(play(ScriptBuilder().send(0x03, 250).bytes()), 0);

    EXPECT_THAT(wire(), ElementsAre("write 03:"));
    EXPECT_EQ(now_us() - start, 250'000U);
}

TEST_F(PowerConfigTest, EmptyScriptOnlySetsTheBars) {
    attach();

    EXPECT_EQ(play({}, BUS_ADDRESS_SUPPLY_A, 126, 127), 0);
    EXPECT_EQ(power_config_program(device_, BUS_ADDRESS_SUPPLY_A, images_.supply_a_script.data(),
                                   -5, 126, 127),
              0);

    EXPECT_TRUE(transfers().empty());
    EXPECT_THAT(window_.progress_history(IDC_TASK_PROGRESS), ElementsAre(0, 0));
    EXPECT_THAT(window_.progress_history(IDC_OVERALL_PROGRESS), ElementsAre(126, 127, 126, 127));
}

TEST_F(PowerConfigTest, RecordCutByTheEndOfTheScriptEndsPlaying) {
    attach(blank_supplies());
    auto cut_block = ScriptBuilder().byte(0x01, 0x80).block(0xD2, "0123456789ABCDEF").bytes();
    cut_block.resize(cut_block.size() - 6);
    auto cut_header = ScriptBuilder().byte(0x01, 0x80).bytes();
    cut_header.push_back(0x21);
    cut_header.push_back(0x00);

    for (const auto& script : {cut_block, cut_header}) {
        SCOPED_TRACE(script.size());
        supply_a().set_working(0x01, {0x00});
        EXPECT_EQ(play(script), 0);
        EXPECT_THAT(wire(), ElementsAre("read 01/1", "write 01: 80", "read 01/1"));
    }
    EXPECT_EQ(supply_a().working(0xD2), std::nullopt);
}

// Every prefix of a real-shaped script: the records played are the whole ones.
TEST_F(PowerConfigTest, EveryPrefixOfAScriptPlaysItsWholeRecordsOnly) {
    attach();
    const auto& script = images_.supply_a_script;
    for (std::size_t length = 0; length <= script.size(); ++length) {
        SCOPED_TRACE(length);
        const std::vector<std::uint8_t> prefix(
            script.begin(), script.begin() + static_cast<std::ptrdiff_t>(length));
        int whole_records = 0;
        sim::for_each_script_record(prefix, [&](const sim::ScriptRecord&) { ++whole_records; });
        window_.progress_calls.clear();

        EXPECT_EQ(play(prefix), 0);

        // Entry, then one position per record played.
        EXPECT_EQ(window_.progress_history(IDC_TASK_PROGRESS).size(),
                  static_cast<std::size_t>(whole_records) + 1);
    }
}

TEST_F(PowerConfigTest, StoreSequenceTakesTwoSecondsAndStoresTheWorkingValues) {
    attach(blank_supplies());
    supply_a().set_working(0x21, {0x00, 0x08});
    const std::uint64_t start = now_us();

    EXPECT_EQ(store(), 0);

    EXPECT_EQ(now_us() - start, 2'000'000U);
    EXPECT_THAT(wire(), ElementsAre("write 11:", "write 11:"));
    const auto sent = transfers();
    EXPECT_EQ(sent[1].start_us - sent[0].start_us, 1'000'000U);
    EXPECT_EQ(supply_a().stored(0x21), (std::vector<std::uint8_t>{0x00, 0x08}));
    EXPECT_THAT(window_.progress_history(IDC_OVERALL_PROGRESS), ElementsAre(125, 126));
}

TEST_F(PowerConfigTest, StoreSequenceSucceedsEvenWhenTheInstrumentIsSilent) {
    attach();
    instrument().faults().control_fail[VREQ_BUS_TRANSFER] = sim::Trigger::always();
    const std::uint64_t start = now_us();

    EXPECT_EQ(store(), 0);

    EXPECT_GE(now_us() - start, 2'000'000U);
    EXPECT_EQ(transfers().size(), 2U);
}

// Walks a script as the supply keeps it and checks every stored setting.
void expect_stored_script(const sim::PowerSupply& supply, const std::vector<std::uint8_t>& script) {
    int page = 0;
    int table = 0;
    int checked = 0;
    sim::for_each_script_record(script, [&](const sim::ScriptRecord& record) {
        const sim::PmbusKind kind = record.command.kind;
        if (record.code == sim::pmbus::PAGE) {
            page = record.value & 0xFF;
            return;
        }
        if (kind == sim::PmbusKind::send) {
            return;
        }
        if (record.code == sim::pmbus::TABLE_SELECT) {
            table = record.value & 0xFF;  // a selector, like PAGE: only its last value stays
            return;
        }
        std::vector<std::uint8_t> expected;
        if (sim::pmbus_is_block(kind)) {
            expected.assign(record.block.begin(), record.block.end());
        } else {
            expected.push_back(static_cast<std::uint8_t>(record.value));
            if (sim::pmbus_value_size(kind) == 2) {
                expected.push_back(static_cast<std::uint8_t>(record.value >> 8));
            }
        }
        const int index = record.code == sim::pmbus::TABLE_DATA ? table : 0;
        EXPECT_EQ(supply.stored(record.code, page, index), expected)
            << "command " << int{record.code} << " page " << page;
        ++checked;
    });
    EXPECT_GT(checked, 20);
}

TEST_F(PowerConfigTest, OlderSuppliesHoldTheirScriptsAfterScriptAndStore) {
    attach(sim::InitialState{sim::Contents::current, sim::Contents::current, sim::Contents::older});
    const auto stored_date_before = supply_a().stored(sim::pmbus::MFR_DATE);

    EXPECT_EQ(play(images_.supply_a_script, BUS_ADDRESS_SUPPLY_A, 124, 125), 0);
    EXPECT_THAT(wire(), Contains(StartsWith("write 9D:")));
    EXPECT_EQ(supply_a().stored(sim::pmbus::MFR_DATE), stored_date_before);  // not yet stored
    EXPECT_EQ(store(BUS_ADDRESS_SUPPLY_A), 0);
    EXPECT_EQ(play(images_.supply_b_script, BUS_ADDRESS_SUPPLY_B, 126, 127), 0);
    EXPECT_EQ(store(BUS_ADDRESS_SUPPLY_B), 0);

    expect_stored_script(supply_a(), images_.supply_a_script);
    expect_stored_script(instrument().supply(1), images_.supply_b_script);

    // After a power cycle the supply comes up with what was stored, so playing
    // the script again writes only what is always written.
    supply_a().power_cycle();
    EXPECT_EQ(play(images_.supply_a_script), 0);
    for (const std::string& line : wire()) {
        if (line.starts_with("write")) {
            EXPECT_THAT(line, AnyOf(StartsWith("write 00:"), StartsWith("write 04:"),
                                    StartsWith("write D4:"), StartsWith("write 03:")));
        }
    }
    EXPECT_THAT(wire(), Not(Contains(StartsWith("write 9D:"))));
}

}  // namespace
}  // namespace board_test
