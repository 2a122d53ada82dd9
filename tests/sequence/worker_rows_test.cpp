// The worker's phases as they read the item table, and a stop asked for from
// outside: an item added as a row, and where a stop ends the run.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "sequence/run_messages.h"
#include "sequence/worker_fixture.h"

namespace {

using namespace worker_test;

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
    const char* says;        // in the warning
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
    EXPECT_NE(window_.message_boxes[0].text.find(point.says), std::string::npos)
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

// A check writes nothing: a stop during one ends it at its next read, not at
// the end of the region, and the run says nothing was written.
TEST_F(StopTest, DuringACheckEndsAtTheNextRead) {
    listed();
    auto watch = std::make_shared<RegionWatch>(FLASH_CMD_READ, SELECTOR_BITSTREAM, images());
    int reads_after_stop = 0;
    watched_.before_bulk_out = [&, watch](std::span<const std::uint8_t> bytes) {
        if (watch->hits(bytes)) {
            reads_after_stop += worker_stop_requested() ? 1 : 0;
            worker_request_stop();
        }
    };

    RunOutcome outcome;
    run_worker(0, &outcome);

    EXPECT_EQ(outcome.result, RunResult::stopped);
    EXPECT_FALSE(outcome.stopped_before.has_value());
    EXPECT_FALSE(outcome.writing_began);
    EXPECT_EQ(reads_after_stop, 0);
    EXPECT_NE(window_.log().find("Checking bitstream ... stopped\r\nStopped on request.\r\n"),
              std::string::npos)
        << window_.log();
    EXPECT_EQ(window_.log().find("Checking factory firmware"), std::string::npos) << window_.log();
    ASSERT_EQ(window_.message_boxes.size(), 1U);
    EXPECT_EQ(window_.message_boxes[0].text, STOPPED_BEFORE_WRITING);
    expect_idle_window();
    watched_.before_bulk_out = nullptr;
}

INSTANTIATE_TEST_SUITE_P(
    Points, StopTest,
    ::testing::Values(
        StopPoint{"DuringTheErase", FLASH_CMD_ERASE, SELECTOR_BITSTREAM, false,
                  "Erasing bitstream ... success\r\n", "bitstream",
                  "Checking bitstream ... needs update",
                  "after the bitstream was erased: its region is now blank"},
        StopPoint{"DuringThePageWrites", FLASH_CMD_WRITE, SELECTOR_BITSTREAM, false,
                  "Programming bitstream ... success\r\n", "bitstream",
                  // written whole, not yet read back: the next check reads it back
                  "Checking bitstream ... up to date",
                  "after the bitstream was written, before it was read back"},
        StopPoint{"DuringSupplyA", 0, 0, true, "Programming power supply A ... done\r\n",
                  "power supply B", "Checking power supply B ... needs update",
                  "before the power supply B was rewritten: it and the items after it were not "
                  "rewritten. The items rewritten before it were read back and are up to date."}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
