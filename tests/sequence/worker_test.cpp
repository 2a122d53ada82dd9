// The programming worker's frame and check phase against a simulated
// instrument: what it does to the window at its start and end, the eight
// comparisons and their outcomes, and the comparisons that cannot be made.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "commands/device_commands.h"
#include "device/flash_commands.h"
#include "flash/flash_layout.h"
#include "instruments/device_list.h"
#include "scenario/command_fixture.h"
#include "scenario/run_texts.h"
#include "sequence/programming_worker.h"
#include "sequence/stop_request.h"
#include "sequence/worker_fixture.h"

namespace {

using namespace worker_test;

// ---- the frame ----

TEST_F(Worker, StartAndEndSetTheWindowInOrder) {
    attach(31);
    attach(32);
    device_list_refresh(nullptr);
    window_.device_combo_select(1);
    window_.calls.clear();
    window_.progress_calls.clear();

    run_worker(0);

    EXPECT_EQ(
        window_calls(),
        (std::vector<std::string>{
            // start: everything but the combo box and "Exit" disabled
            "control_enable 110 off", "menu_item_enable 108 off", "menu_item_enable 107 off",
            "menu_item_enable 109 off", "control_enable 106 off",
            // the summary, then the end sequence
            "message_box", "control_enable 110 on",
            "menu_item_enable 108 on", "menu_item_enable 107 on", "menu_item_enable 109 on",
            // the refresh, which selects the instrument by its remembered path
            "device_combo_reset", "control_enable 110 off", "menu_item_enable 108 off",
            "menu_item_enable 107 off", "menu_item_enable 109 off", "device_combo_append DEV31",
            "device_combo_append DEV32", "device_combo_select 1", "control_enable 110 on",
            "menu_item_enable 108 on", "menu_item_enable 107 on", "menu_item_enable 109 on",
            // "Refresh" only once the worker's own refresh is done; the others
            // once more, whatever the refresh found
            "control_enable 106 on", "control_enable 110 on", "menu_item_enable 108 on",
            "menu_item_enable 107 on", "menu_item_enable 109 on"}));
    const auto& bars = window_.progress_calls;
    ASSERT_GE(bars.size(), 4U);
    EXPECT_EQ(bars[0].control, IDC_OVERALL_PROGRESS);
    EXPECT_EQ(bars[0].position, 0U);
    EXPECT_EQ(bars[1].control, IDC_TASK_PROGRESS);
    EXPECT_EQ(bars[1].position, 0U);
    EXPECT_EQ(bars[bars.size() - 2].control, IDC_OVERALL_PROGRESS);
    EXPECT_EQ(bars[bars.size() - 2].position, 0U);
    EXPECT_EQ(bars.back().control, IDC_TASK_PROGRESS);
    EXPECT_EQ(bars.back().position, 0U);
    expect_idle_window();
}

TEST_F(Worker, CommandsAreEnabledAfterTheRunEvenWhenTheInstrumentIsGone) {
    sim::Instrument& instrument = listed();
    window_.hold_boxes();
    ASSERT_EQ(program_command(0, 0), 1);
    window_.await_held_box();

    bus_.detach(instrument);  // unplugged while the summary is open
    window_.release_boxes();
    worker_wait();

    EXPECT_TRUE(window_.combo_items().empty());
    expect_idle_window();
}

TEST_F(Worker, ProgramModeMovesTheOverallBarOverItsCheckSpans) {
    listed();

    run_worker(1);

    // The upload from 0, the comparisons from 1, 2, 5, 7 and 10.
    EXPECT_EQ(operation_starts(), (std::vector<std::uint32_t>{0, 1, 2, 5, 7, 10}));
    ASSERT_EQ(window_.message_boxes.size(), 1U);
    EXPECT_EQ(window_.message_boxes[0].text, ALREADY_UP_TO_DATE);
}

// ---- the check phase's outcomes ----

TEST_F(Worker, FirmwareCurrentAndBitstreamOlderInCheckOnlyMode) {
    sim::Instrument& instrument = listed();
    load_older(instrument, 0);

    run_worker(0);

    EXPECT_EQ(window_.log(), UPLOADED +
                                 "Checking firmware ... up to date\r\n"
                                 "Checking bitstream ... needs update\r\n"
                                 "Checking factory firmware ... up to date\r\n"
                                 "Checking factory bitstream ... up to date\r\n"
                                 "Checking USB firmware ... up to date\r\n"
                                 "Checking power supply A ... up to date\r\n"
                                 "Checking power supply B ... up to date\r\n");
    ASSERT_EQ(window_.message_boxes.size(), 1U);
    EXPECT_EQ(window_.message_boxes[0].text, MISMATCH);
    EXPECT_EQ(window_.message_boxes[0].icon, MessageIcon::warning);
}

TEST_F(Worker, ConfigurationSequenceOlderMakesTheFactoryBitstreamNeedAnUpdate) {
    sim::Instrument& instrument = listed();
    load_older(instrument, 4);

    run_worker(0);

    EXPECT_TRUE(logged("Checking factory bitstream ... needs update\r\n")) << window_.log();
    ASSERT_EQ(window_.message_boxes.size(), 1U);
    EXPECT_EQ(window_.message_boxes[0].text, MISMATCH);
}

TEST_F(Worker, SupplyAnsweringSixBytesFailsAndCountsAsOutOfDate) {
    sim::Instrument& instrument = listed();
    watched_.before_control = [&](const UsbSetupPacket& setup) {
        if (setup.value == (BUS_PMBUS_READ | BUS_ADDRESS_SUPPLY_A) && setup.index == 0x9D) {
            with_faults(instrument, [](sim::Faults& faults) {
                faults.control_short[VREQ_BUS_TRANSFER] = sim::Trigger::once();
            });
        }
    };

    RunOutcome outcome;
    run_worker(0, &outcome);

    EXPECT_TRUE(
        logged("Checking power supply A ... failed\r\n"
               "Checking power supply B ... up to date\r\n"))
        << window_.log();
    // The summary speaks of a mismatch; the run could not tell, and says so.
    EXPECT_EQ(outcome.result, RunResult::failed);
    EXPECT_EQ(outcome.failed_item, WorkItem::power_supply_a);
    EXPECT_EQ(outcome.failed_phase, ItemPhase::check);
    EXPECT_FALSE(outcome.writing_began);
    ASSERT_EQ(window_.message_boxes.size(), 1U);  // the summary only
    EXPECT_EQ(window_.message_boxes[0].text, MISMATCH);
}

TEST_F(Worker, SupplyWithTheScriptsDateButAnotherCountNeedsAnUpdate) {
    sim::Instrument& instrument = listed();
    std::vector<std::uint8_t> date(images().supply_a_script.begin() + 3,
                                   images().supply_a_script.begin() + 9);
    date.push_back('7');  // seven bytes: the count byte reads 7, the six digits match
    instrument.supply(0).set_stored(sim::pmbus::MFR_DATE, date);

    run_worker(0);

    EXPECT_TRUE(logged("Checking power supply A ... needs update\r\n")) << window_.log();
    EXPECT_EQ(window_.message_boxes.size(), 1U);
}

// A run that stopped after a supply's script but before its store left the
// new values in the working registers only: the supply would come up with
// the old ones at the next power-on, so the check must see the stored ones.
TEST_F(Worker, SupplyWhoseNewValuesWereNeverStoredNeedsAnUpdate) {
    sim::Instrument& instrument = listed();
    const std::span<const std::uint8_t> script = images().supply_a_script;
    instrument.supply(0).set_stored(sim::pmbus::MFR_DATE, {'0', '0', '0', '1', '0', '1'});
    ASSERT_TRUE(instrument.supply(0).runs_script(script));
    ASSERT_FALSE(instrument.supply(0).stores_script(script));

    run_worker(0);

    EXPECT_TRUE(logged("Checking power supply A ... needs update\r\n")) << window_.log();
    EXPECT_FALSE(instrument.supply(0).stores_script(script));  // the check stored nothing
    ASSERT_EQ(window_.message_boxes.size(), 1U);
    EXPECT_EQ(window_.message_boxes[0].text, MISMATCH);
}

// RESTORE_DEFAULT_ALL is a send without data too. Lost, it would leave the
// working values (here the new script, never stored) to be read for the
// stored ones: the check must not call the supply up to date, and a program
// run must store the script, whichever of its restores is lost.
class LostRestore : public Worker, public ::testing::WithParamInterface<int> {};

TEST_P(LostRestore, NeverPassesForTheStoredValues) {
    // Of supply A: the check's, or the programming's after a store the supply ignored.
    const int lost_restore = GetParam();
    sim::Instrument& instrument = listed();
    const std::span<const std::uint8_t> script = images().supply_a_script;
    instrument.supply(0).set_stored(sim::pmbus::MFR_DATE, {'0', '0', '0', '1', '0', '1'});
    if (lost_restore == 2) {
        with_faults(instrument, [](sim::Faults& faults) {
            faults.pmbus_store_ignored = sim::Trigger::count(2);  // the store sequence sends two
        });
    }
    int restores = 0;
    watched_.before_control = [&](const UsbSetupPacket& setup) {
        if (setup.value == (BUS_PMBUS_WRITE | BUS_ADDRESS_SUPPLY_A) && setup.index == 0x12 &&
            ++restores == lost_restore) {
            with_faults(instrument, [](sim::Faults& faults) {
                faults.control_fail[VREQ_BUS_TRANSFER] = sim::Trigger::once();
            });
        }
    };

    run_worker(1);

    EXPECT_FALSE(logged("Checking power supply A ... up to date")) << window_.log();
    const bool summary = !window_.message_boxes.empty() &&
                         window_.message_boxes.back().icon == MessageIcon::information;
    EXPECT_TRUE(!summary || instrument.supply(0).stores_script(script))
        << "a summary over a supply that does not store the script\n" << window_.log();
    watched_.before_control = nullptr;
    run_worker(1);
    EXPECT_TRUE(instrument.supply(0).stores_script(script)) << window_.log();
}

INSTANTIATE_TEST_SUITE_P(CheckOrProgramming, LostRestore, ::testing::Values(1, 2));

// STORE_DEFAULT_ALL is a send without data: a supply that ignores it cannot
// be seen by the send itself. The stored values are brought back and compared.
TEST_F(Worker, SupplyThatIgnoresTheStoreFailsAndStaysOutOfDate) {
    sim::Instrument& instrument = listed();
    const std::span<const std::uint8_t> script = images().supply_a_script;
    const std::vector<std::uint8_t> old_date = {'0', '0', '0', '1', '0', '1'};
    instrument.supply(0).set_stored(sim::pmbus::MFR_DATE, old_date);
    instrument.supply(0).set_working(sim::pmbus::MFR_DATE, old_date);
    with_faults(instrument, [](sim::Faults& faults) {
        faults.pmbus_store_ignored = sim::Trigger::always();
    });

    run_worker(1);

    EXPECT_TRUE(logged("Programming power supply A ... failed\r\n")) << window_.log();
    ASSERT_EQ(window_.message_boxes.size(), 1U);
    EXPECT_EQ(window_.message_boxes[0].text.rfind("The power configuration update failed", 0), 0U);
    EXPECT_FALSE(instrument.supply(0).stores_script(script));
    EXPECT_FALSE(instrument.supply(0).runs_script(script));  // brought back to what it stores
}

TEST_F(Worker, UsbFirmwareThatCannotBeReadIsProgrammed) {
    sim::Instrument& instrument = listed();
    bool check_read_failed = false;  // only the check's read of the header
    watched_.before_control = [&](const UsbSetupPacket& setup) {
        if (setup.request_type == 0xC0 && setup.value == 0x0251 && setup.index == 0 &&
            setup.length == 8 &&
            !std::exchange(check_read_failed, true)) {
            with_faults(instrument, [](sim::Faults& faults) {
                faults.control_fail[VREQ_BUS_TRANSFER] = sim::Trigger::once();
            });
        }
    };

    RunOutcome outcome;
    run_worker(1, &outcome);

    // A check that failed, then a rewrite read back whole: the run succeeded.
    EXPECT_EQ(outcome.result, RunResult::updated);
    EXPECT_EQ(outcome.state(WorkItem::usb_firmware), ItemState::updated);
    EXPECT_EQ(window_.log(), UPLOADED +
                                 "Checking firmware ... up to date\r\n"
                                 "Checking bitstream ... up to date\r\n"
                                 "Checking factory firmware ... up to date\r\n"
                                 "Checking factory bitstream ... up to date\r\n"
                                 "Checking USB firmware ... failed\r\n"
                                 "Checking power supply A ... up to date\r\n"
                                 "Checking power supply B ... up to date\r\n"
                                 "Programming USB firmware ... done\r\n"
                                 "Verifying USB firmware ... done\r\n");
    ASSERT_EQ(window_.message_boxes.size(), 1U);
    EXPECT_EQ(window_.message_boxes[0].text, UP_TO_DATE);
    EXPECT_TRUE(holds_current_set(instrument));
}

// ---- a comparison that cannot be completed ends the run ----

struct UnfinishedComparison {
    const char* name;
    int selector;
    std::vector<std::string> checked_before;  // labels of the comparisons made before it
    const char* label;
    std::string message;
};

void PrintTo(const UnfinishedComparison& comparison, std::ostream* out) {
    *out << comparison.name;
}

class UnfinishedComparisonTest : public Worker,
                                 public ::testing::WithParamInterface<UnfinishedComparison> {};

TEST_P(UnfinishedComparisonTest, ShowsItsMessageAndMakesNoFurtherChecks) {
    const UnfinishedComparison& comparison = GetParam();
    sim::Instrument& instrument = listed();
    auto watch = std::make_shared<RegionWatch>(FLASH_READ, comparison.selector, images());
    watched_.before_bulk_out = [&, watch](std::span<const std::uint8_t> bytes) {
        if (watch->hits(bytes)) {
            with_faults(instrument, [](sim::Faults& faults) {
                faults.drop_reply = sim::Trigger::always();  // the flash core falls silent
            });
        }
    };
    const std::size_t before = instrument.transfers().size();

    run_worker(1);

    std::string expected = UPLOADED;
    for (const std::string& label : comparison.checked_before) {
        expected += label + "up to date\r\n";
    }
    EXPECT_EQ(window_.log(), expected + comparison.label + "failed\r\n");
    ASSERT_EQ(window_.message_boxes.size(), 1U);
    EXPECT_EQ(window_.message_boxes[0].text, comparison.message);
    EXPECT_EQ(window_.message_boxes[0].icon, MessageIcon::warning);
    EXPECT_FALSE(bus_read_sent(instrument, 0x0251, 5, before));
    EXPECT_FALSE(bus_read_sent(instrument, 0x0934, 0x9D, before));
    EXPECT_FALSE(bus_read_sent(instrument, 0x0935, 0x9D, before));
    if (comparison.selector == 2) {
        // The configuration sequence is not compared after it.
        RegionWatch sequence(FLASH_READ, 4, images());
        for (std::size_t i = before; i < instrument.transfers().size(); ++i) {
            const sim::TransferRecord& transfer = instrument.transfers()[i];
            if (transfer.kind == sim::TransferKind::bulk && !transfer.in) {
                EXPECT_FALSE(sequence.hits(transfer.data));
            }
        }
    }
    expect_idle_window();
}

INSTANTIATE_TEST_SUITE_P(
    EachFlashRegion, UnfinishedComparisonTest,
    ::testing::Values(
        UnfinishedComparison{
            "Firmware", 1, {}, "Checking firmware ... ", unverified("The device firmware version")},
        UnfinishedComparison{"Bitstream",
                             0,
                             {"Checking firmware ... "},
                             "Checking bitstream ... ",
                             unverified("The device bitstream version")},
        UnfinishedComparison{"FactoryFirmware",
                             3,
                             {"Checking firmware ... ", "Checking bitstream ... "},
                             "Checking factory firmware ... ",
                             unverified("The factory firmware version")},
        UnfinishedComparison{
            "FactoryBitstream",
            2,
            {"Checking firmware ... ", "Checking bitstream ... ", "Checking factory firmware ... "},
            "Checking factory bitstream ... ",
            unverified("The factory bitstream version")},
        UnfinishedComparison{
            "ConfigurationSequence",
            4,
            {"Checking firmware ... ", "Checking bitstream ... ", "Checking factory firmware ... "},
            "Checking factory bitstream ... ",
            unverified("The factory bitstream version")}),
    [](const ::testing::TestParamInfo<UnfinishedComparison>& comparison) {
        return comparison.param.name;
    });

}  // namespace
