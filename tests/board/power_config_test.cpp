// Playing configuration records against the simulated power supply: which
// reads and writes go over the wire for each kind of command, the retries,
// and what the supply ends up holding.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "board/power_config_fixture.h"

namespace board_test {
namespace {

using sim::linear11;
using sim::ScriptBuilder;
using ::testing::ElementsAre;

TEST_F(PowerConfigTest, ConfiguredSupplyCostsOnlyReads) {
    attach();
    const auto script = ScriptBuilder()
                            .block(0x9B, "REV-A01")
                            .byte(0x01, 0x80)
                            .word(0xE1, 0x1234)
                            .word(0x46, linear11(40, -2))
                            .word(0x21, 0x0800)
                            .block(0xD2, "ABCDE")
                            .bytes();
    instrument().apply_supply_script(0, script);

    EXPECT_EQ(play(script), 0);

    EXPECT_THAT(wire(), ElementsAre("read 9B/1", "read 9B/8", "read 01/1", "read E1/2", "read 46/2",
                                    "read 21/2", "read D2/1", "read D2/6"));
    expect_requests_to(0x34);
}

TEST_F(PowerConfigTest, PagePhaseAndTableSelectAreAlwaysWrittenAndReadBack) {
    attach();
    const auto script = ScriptBuilder().page(0).byte(0x04, 0x80).byte(0xD4, 0).bytes();
    instrument().apply_supply_script(0, script);

    EXPECT_EQ(play(script), 0);

    EXPECT_THAT(wire(), ElementsAre("write 00: 00", "read 00/1", "write 04: 80", "read 04/1",
                                    "write D4: 00", "read D4/1"));
}

TEST_F(PowerConfigTest, Linear11InAnotherEncodingCountsAsEqual) {
    attach({}, /*linear11_reencoding=*/true);
    const std::uint16_t value = linear11(40, -2);
    const auto script = ScriptBuilder().word(0x46, value).bytes();
    instrument().apply_supply_script(0, script);

    EXPECT_EQ(play(script), 0);

    ASSERT_THAT(wire(), ElementsAre("read 46/2"));
    const std::vector<std::uint8_t> answer = transfers().front().data;
    ASSERT_EQ(answer.size(), 2U);
    EXPECT_NE(answer[0] | answer[1] << 8, value);  // the supply did answer in another encoding
}

TEST_F(PowerConfigTest, Linear11WrittenAndReadBackInAnotherEncodingSucceeds) {
    attach({}, /*linear11_reencoding=*/true);
    const std::uint16_t value = linear11(40, -2);
    supply_a().set_working(0x46, {0x00, 0x00});

    EXPECT_EQ(play(ScriptBuilder().word(0x46, value).bytes()), 0);

    EXPECT_THAT(wire(), ElementsAre("read 46/2", "write 46: 28 F0", "read 46/2"));
    EXPECT_EQ(supply_a().working(0x46), (std::vector<std::uint8_t>{0x28, 0xF0}));
}

TEST_F(PowerConfigTest, DifferingByteAndWordsAreWrittenAndReadBack) {
    attach(blank_supplies());
    const auto script = ScriptBuilder()
                            .byte(0x01, 0x80)
                            .word(0xE1, 0x1234)
                            .word(0x21, 0x0ABC)
                            .word(0x60, linear11(12, 0))
                            .bytes();

    EXPECT_EQ(play(script), 0);

    EXPECT_THAT(wire(), ElementsAre("read 01/1", "write 01: 80", "read 01/1",     //
                                    "read E1/2", "write E1: 34 12", "read E1/2",  //
                                    "read 21/2", "write 21: BC 0A", "read 21/2",  //
                                    "read 60/2", "write 60: 0C 00", "read 60/2"));
    EXPECT_EQ(supply_a().working(0x01), std::vector<std::uint8_t>{0x80});
    EXPECT_EQ(supply_a().working(0xE1), (std::vector<std::uint8_t>{0x34, 0x12}));
    EXPECT_EQ(supply_a().working(0x21), (std::vector<std::uint8_t>{0xBC, 0x0A}));
}

TEST_F(PowerConfigTest, SupplyBIsAddressedAt0x35) {
    attach(blank_supplies());

    EXPECT_EQ(play(ScriptBuilder().byte(0x01, 0x80).bytes(), BUS_ADDRESS_SUPPLY_B), 0);

    expect_requests_to(0x35);
    EXPECT_EQ(instrument().supply(1).working(0x01), std::vector<std::uint8_t>{0x80});
    EXPECT_EQ(supply_a().working(0x01), std::nullopt);
}

TEST_F(PowerConfigTest, RefusedCommandCountsOnceAndTheScriptGoesOn) {
    attach(blank_supplies());
    instrument().faults().pmbus_nack[0x21] = sim::Trigger::always();

    EXPECT_EQ(play(ScriptBuilder().word(0x21, 0x0800).byte(0x01, 0x80).bytes()), 1);

    EXPECT_THAT(wire(), ElementsAre("read 21/2", "write 21: 00 08", "write 21: 00 08",
                                    "write 21: 00 08", "write 21: 00 08", "write 21: 00 08",
                                    "read 01/1", "write 01: 80", "read 01/1"));
    EXPECT_EQ(supply_a().working(0x01), std::vector<std::uint8_t>{0x80});
}

TEST_F(PowerConfigTest, WriteRetriesStopAtTheFirstAcceptedAttempt) {
    attach(blank_supplies());
    // The first read and the first two writes go unanswered.
    instrument().faults().pmbus_nack[0xE1] = sim::Trigger::count(3);

    EXPECT_EQ(play(ScriptBuilder().word(0xE1, 0x1234).bytes()), 0);

    EXPECT_THAT(wire(), ElementsAre("read E1/2", "write E1: 34 12", "write E1: 34 12",
                                    "write E1: 34 12", "read E1/2"));
}

TEST_F(PowerConfigTest, FifthRefusedWriteGivesUp) {
    attach(blank_supplies());
    // The first read and five writes unanswered; a sixth would be accepted.
    instrument().faults().pmbus_nack[0xE1] = sim::Trigger::count(6);

    EXPECT_EQ(play(ScriptBuilder().word(0xE1, 0x1234).bytes()), 1);

    const auto lines = wire();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "write E1: 34 12"), 5);
    EXPECT_EQ(lines.size(), 6U);  // no read-back after giving up
    EXPECT_EQ(supply_a().working(0xE1), std::nullopt);
}

TEST_F(PowerConfigTest, ReadBackThatDeliversNothingCountsAsFailure) {
    attach(blank_supplies());
    instrument().faults().pmbus_nack[0xE1] = sim::Trigger::once(2);  // read, write, read-back

    EXPECT_EQ(play(ScriptBuilder().word(0xE1, 0x1234).bytes()), 1);

    EXPECT_THAT(wire(), ElementsAre("read E1/2", "write E1: 34 12", "read E1/2"));
}

TEST_F(PowerConfigTest, BlockOfAnotherLengthIsWrittenAndReadBack) {
    attach();
    supply_a().set_working(0x9B, text_bytes("REV-A0"));

    EXPECT_EQ(play(ScriptBuilder().block(0x9B, "REV-A01").bytes()), 0);

    EXPECT_THAT(wire(), ElementsAre("read 9B/1", "read 9B/7", "write 9B: 07 52 45 56 2D 41 30 31",
                                    "read 9B/1", "read 9B/8"));
    EXPECT_EQ(supply_a().working(0x9B), text_bytes("REV-A01"));
}

TEST_F(PowerConfigTest, BlockOfSameLengthIsWrittenOnlyWhenItsBytesDiffer) {
    attach();
    supply_a().set_working(0x9B, text_bytes("REV-A01"));
    supply_a().set_working(0x99, text_bytes("TALVNQ"));

    EXPECT_EQ(play(ScriptBuilder().block(0x9B, "REV-A01").block(0x99, "TALVNR").bytes()), 0);

    EXPECT_THAT(wire(), ElementsAre("read 9B/1", "read 9B/8",  //
                                    "read 99/1", "read 99/7", "write 99: 06 54 41 4C 56 4E 52",
                                    "read 99/1", "read 99/7"));
    EXPECT_EQ(supply_a().working(0x99), text_bytes("TALVNR"));
}

TEST_F(PowerConfigTest, EmptyBlockMatchingAnEmptyStoredBlockIsNotWritten) {
    attach(blank_supplies());

    EXPECT_EQ(play(ScriptBuilder().block(0xE2, std::span<const std::uint8_t>{}).bytes()), 0);

    EXPECT_THAT(wire(), ElementsAre("read E2/1", "read E2/1"));
}

TEST_F(PowerConfigTest, EmptyBlockReplacesAStoredBlockAndReadsBackCountZero) {
    attach();
    supply_a().set_working(0xE2, {1, 2, 3});

    EXPECT_EQ(play(ScriptBuilder().block(0xE2, std::span<const std::uint8_t>{}).bytes()), 0);

    EXPECT_THAT(wire(),
                ElementsAre("read E2/1", "read E2/4", "write E2: 00", "read E2/1", "read E2/1"));
    EXPECT_EQ(supply_a().working(0xE2), std::vector<std::uint8_t>{});
}

TEST_F(PowerConfigTest, ShortReadIsNeverTakenAsTheStoredValue) {
    attach();
    const auto script = ScriptBuilder().byte(0x01, 0x80).word(0xE1, 0x1234).bytes();
    instrument().apply_supply_script(0, script);
    // The first read arrives one byte short: none of the byte (later: half the word).
    instrument().faults().control_short[VREQ_BUS_TRANSFER] = sim::Trigger::once();

    EXPECT_EQ(play(script), 0);
    EXPECT_THAT(wire(), ElementsAre("read 01/1", "write 01: 80", "read 01/1", "read E1/2"));
    EXPECT_EQ(transfers().front().transferred, 0U);

    instrument().faults().control_short[VREQ_BUS_TRANSFER] = sim::Trigger::once();
    EXPECT_EQ(play(ScriptBuilder().word(0xE1, 0x1234).bytes()), 0);
    EXPECT_THAT(wire(), ElementsAre("read E1/2", "write E1: 34 12", "read E1/2"));
    EXPECT_EQ(transfers().front().transferred, 1U);
}

TEST_F(PowerConfigTest, ShortBlockReadIsNeverTakenAsTheStoredBlock) {
    attach();
    const auto script = ScriptBuilder().block(0x9B, "REV-A01").bytes();
    instrument().apply_supply_script(0, script);
    instrument().faults().control_short[VREQ_BUS_TRANSFER] = sim::Trigger::once(1);

    EXPECT_EQ(play(script), 0);

    EXPECT_THAT(wire(), ElementsAre("read 9B/1", "read 9B/8", "write 9B: 07 52 45 56 2D 41 30 31",
                                    "read 9B/1", "read 9B/8"));
}

}  // namespace
}  // namespace board_test
