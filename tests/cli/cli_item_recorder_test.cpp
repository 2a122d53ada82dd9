// The worker's item reports as the command line takes them: the run's report
// keeps the table, and every event, a step beginning included, goes on to the
// display that shows the run as it goes.
#include <gtest/gtest.h>

#include <vector>

#include "cli/item_recorder.h"

namespace {

std::size_t row_of(WorkItem item) {
    return static_cast<std::size_t>(item);
}

TEST(ItemRecorder, KeepsTheTableAndHandsOnEveryEvent) {
    std::vector<ItemEvent> shown;
    ItemRecorder recorder([&shown](const ItemEvent& event) { shown.push_back(event); });
    ItemObserver& observer = recorder;

    observer.item_event(
        {WorkItem::usb_firmware, ItemPhase::check, ItemOutcome::needs_update, "1.37"});
    observer.item_event({WorkItem::bitstream, ItemPhase::check, ItemOutcome::needs_update, {}});
    observer.item_event({WorkItem::bitstream, ItemPhase::erase, ItemOutcome::started, {}});
    // A step beginning leaves the table as it was.
    EXPECT_EQ(recorder.report().rows()[row_of(WorkItem::bitstream)].state, ItemState::needs_update);
    observer.item_event({WorkItem::bitstream, ItemPhase::erase, ItemOutcome::success, {}});
    observer.item_event({WorkItem::bitstream, ItemPhase::verify, ItemOutcome::success, {}});

    const auto rows = recorder.report().rows();
    EXPECT_EQ(rows[row_of(WorkItem::bitstream)].state, ItemState::updated);
    EXPECT_EQ(rows[row_of(WorkItem::usb_firmware)].state, ItemState::needs_update);
    EXPECT_EQ(rows[row_of(WorkItem::usb_firmware)].installed, "1.37");
    EXPECT_EQ(rows[row_of(WorkItem::firmware)].state, ItemState::not_checked);

    ASSERT_EQ(shown.size(), 5U);
    EXPECT_EQ(shown[0].installed_revision, "1.37");
    EXPECT_EQ(shown[2].phase, ItemPhase::erase);
    EXPECT_EQ(shown[2].outcome, ItemOutcome::started);
    EXPECT_EQ(shown[4].phase, ItemPhase::verify);
    EXPECT_EQ(shown[4].outcome, ItemOutcome::success);
}

}  // namespace
