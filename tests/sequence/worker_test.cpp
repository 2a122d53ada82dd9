// The programming worker's frame and check phase against a simulated
// instrument: what it does to the window at its start and end, the eight
// comparisons and their outcomes, and the comparisons that cannot be made.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <span>
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
#include "sequence/item_table.h"
#include "sequence/run_outcome.h"
#include "sequence/stop_request.h"

namespace {

using namespace command_test;

constexpr std::uint32_t FLASH_READ = 0x30000000;

class Worker : public CommandTest {
  protected:
    // A current instrument, listed and selected.
    sim::Instrument& listed(std::int32_t number = 31) {
        sim::Instrument& instrument = attach(number);
        device_list_refresh(nullptr);
        return instrument;
    }

    // The worker on the selected instrument, opened and remembered as the
    // program command hands it over, on this thread.
    void run_worker(int program_mode, RunOutcome* outcome = nullptr,
                    std::span<const ItemRow> items = item_table()) {
        UsbDevice* device = listed_device(window_.combo_selection());
        ASSERT_NE(device, nullptr);
        remembered_device_path() = device->path;
        ASSERT_EQ(usb_open_device(device, 1), 0);
        const WorkerRequest request{device, program_mode, outcome, items};
        EXPECT_EQ(ProgrammingWorker(&request), 0);
    }

    void load_older(sim::Instrument& instrument, int selector) {
        const sim::FlashPlacement placement = sim::flash_placement(selector);
        instrument.flash(placement.device)
            .load(placement.start, sim::older_flash_image(images().flash_image(selector)));
    }

    // The calls that enable or disable commands, or change the combo box.
    std::vector<std::string> window_calls() const {
        std::vector<std::string> found;
        for (const std::string& call : window_.calls) {
            if (call.rfind("log_", 0) != 0) {
                found.push_back(call.rfind("message_box", 0) == 0 ? "message_box" : call);
            }
        }
        return found;
    }

    bool logged(const std::string& line) const {
        return window_.log().find(line) != std::string::npos;
    }

    static bool bus_read_sent(const sim::Instrument& instrument, int value, int index,
                              std::size_t from) {
        const auto requests = controls(instrument, from);
        return std::any_of(requests.begin(), requests.end(), [&](const sim::TransferRecord& t) {
            return t.setup.request == VREQ_BUS_TRANSFER && t.setup.value == value &&
                   t.setup.index == index;
        });
    }
};

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

namespace {

// ---- a new item is a new row ----

// A table of the instrument's rows and one more flash item: a second copy of
// the firmware in a sixth region, far above the first. The phases check,
// write and report it like the others, in its rank, with nothing else changed.
TEST_F(Worker, AnItemAddedAsARowIsCheckedWrittenAndReported) {
    constexpr auto SPARE = static_cast<WorkItem>(WORK_ITEM_COUNT);
    constexpr std::uint32_t SPARE_START = 0xC00000;
    std::vector<ItemRow> rows(item_table().begin(), item_table().end());
    rows.push_back({.item = SPARE,
                    .name = "spare firmware",
                    .kind = ItemKind::flash_region,
                    .image_id = IMAGE_FIRMWARE,
                    .region = {1, SPARE_START, IMAGE_FIRMWARE},
                    .shares_lines_with = SPARE,
                    .write_rank = 7,
                    .check_when_programming = {10, 10},
                    .check_when_verifying = {128, 128},
                    .erase = {128, 128},
                    .program = {128, 128},
                    .verify = {128, 128},
                    .unverified_message = "The spare firmware could not be verified.",
                    .write_failed_message = "The spare firmware programming failed.",
                    .verify_failed_message = "The spare firmware could not be read back."});
    sim::Instrument& instrument = listed();

    RunOutcome outcome;
    run_worker(1, &outcome, rows);

    const std::string log = window_.log();
    EXPECT_NE(log.find("Checking power supply B ... up to date\r\nChecking spare firmware ... "
                       "needs update\r\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("Erasing spare firmware ... success\r\nProgramming spare firmware ... "
                       "success\r\nChecking spare firmware ... success\r\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(outcome.result, RunResult::updated);
    EXPECT_EQ(outcome.state(SPARE), ItemState::updated);
    EXPECT_EQ(outcome.state(WorkItem::firmware), ItemState::up_to_date);
    {
        const auto lock = bus_.lock();
        const auto stored = instrument.flash(1).read(
            SPARE_START, static_cast<std::uint32_t>(images().firmware.size()));
        EXPECT_TRUE(std::equal(stored.begin(), stored.end(), images().firmware.begin(),
                               images().firmware.end()));
    }
    EXPECT_TRUE(holds_current_set(instrument));

    window_.log_set_text("");
    run_worker(0, &outcome, rows);
    EXPECT_EQ(outcome.result, RunResult::up_to_date);
    EXPECT_NE(window_.log().find("Checking spare firmware ... up to date"), std::string::npos);
}

// ---- a stop asked for from outside (the command line's first signal) ----

struct StopPoint {
    const char* name;
    std::uint32_t opcode;  // the first frame of this kind in the region asks for the stop
    int selector;
    bool supply;           // or: the first write to supply A asks for it
    const char* log_before_stop;
    const char* undone;
    const char* next_check;  // what the next run's check finds
};

void PrintTo(const StopPoint& point, std::ostream* out) {
    *out << point.name;
}

class StopTest : public Worker, public ::testing::WithParamInterface<StopPoint> {
  protected:
    void TearDown() override { worker_clear_stop(); }
};

// The run ends at the next point a later run repairs, says what is not done,
// and the next run finds exactly that out of date and repairs it.
TEST_P(StopTest, EndsWhereTheNextRunRepairsAndSaysWhatIsLeft) {
    const StopPoint& point = GetParam();
    sim::Instrument& instrument = listed();
    load_older(instrument, SELECTOR_BITSTREAM);
    {
        const auto lock = bus_.lock();
        for (const int supply : {0, 1}) {
            const auto& script = supply == 0 ? images().supply_a_script : images().supply_b_script;
            const auto date = sim::older_date(std::span(script).subspan(3, 6));
            instrument.supply(supply).set_working(sim::pmbus::MFR_DATE, date);
            instrument.supply(supply).set_stored(sim::pmbus::MFR_DATE, date);
        }
    }
    auto watch = std::make_shared<RegionWatch>(point.opcode, point.selector, images());
    watched_.before_bulk_out = [&, watch](std::span<const std::uint8_t> bytes) {
        if (!point.supply && watch->hits(bytes)) {
            worker_request_stop();
        }
    };
    watched_.before_control = [&](const UsbSetupPacket& setup) {
        // The script's first write: its MFR_DATE record.
        if (point.supply && setup.request_type == 0x40 &&
            setup.value == (BUS_PMBUS_WRITE | BUS_ADDRESS_SUPPLY_A) && setup.index == 0x9D) {
            worker_request_stop();
        }
    };

    RunOutcome outcome;
    run_worker(1, &outcome);

    EXPECT_EQ(outcome.result, RunResult::stopped);
    ASSERT_TRUE(outcome.stopped_before.has_value());
    EXPECT_STREQ(work_item_name(*outcome.stopped_before), point.undone);
    EXPECT_TRUE(outcome.writing_began);
    EXPECT_NE(window_.log().find(std::string(point.log_before_stop) + "Stopped on request.\r\n"),
              std::string::npos)
        << window_.log();
    ASSERT_EQ(window_.message_boxes.size(), 1U);
    EXPECT_EQ(window_.message_boxes[0].icon, MessageIcon::warning);
    EXPECT_NE(window_.message_boxes[0].text.find(std::string("before the ") + point.undone),
              std::string::npos)
        << window_.message_boxes[0].text;
    EXPECT_NE(window_.message_boxes[0].text.find("Run program again"), std::string::npos);
    if (point.supply) {
        // A supply's script and store, once begun, end as always.
        const auto lock = bus_.lock();
        EXPECT_TRUE(instrument.supply(0).stores_script(images().supply_a_script));
    }
    expect_idle_window();

    worker_clear_stop();
    watched_.before_bulk_out = nullptr;
    watched_.before_control = nullptr;
    window_.message_boxes.clear();
    window_.log_set_text("");
    run_worker(1, &outcome);
    EXPECT_EQ(outcome.result, RunResult::updated);
    EXPECT_NE(window_.log().find(point.next_check), std::string::npos) << window_.log();
    ASSERT_FALSE(window_.message_boxes.empty());
    EXPECT_EQ(window_.message_boxes.back().text, UP_TO_DATE);
    EXPECT_TRUE(holds_current_set(instrument));
}

INSTANTIATE_TEST_SUITE_P(
    Points, StopTest,
    ::testing::Values(
        StopPoint{"DuringTheErase", FLASH_CMD_ERASE, SELECTOR_BITSTREAM, false,
                  "Erasing bitstream ... success\r\n", "bitstream",
                  "Checking bitstream ... needs update"},
        StopPoint{"DuringThePageWrites", FLASH_CMD_WRITE, SELECTOR_BITSTREAM, false,
                  "Programming bitstream ... success\r\n", "bitstream",
                  // written whole, not yet read back: the next check reads it back
                  "Checking bitstream ... up to date"},
        StopPoint{"DuringSupplyA", 0, 0, true, "Programming power supply A ... done\r\n",
                  "power supply B", "Checking power supply B ... needs update"}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
