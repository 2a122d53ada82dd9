#include "sequence/run_outcome.h"

void RunOutcome::follow(const ItemEvent& event) {
    ItemState& state = states[static_cast<std::size_t>(event.item)];
    switch (event.outcome) {
        case ItemOutcome::started:
            writing_began = writing_began || event.phase == ItemPhase::erase ||
                            event.phase == ItemPhase::program;
            return;
        case ItemOutcome::failed:
            state = ItemState::failed;
            return;
        case ItemOutcome::up_to_date:
            state = ItemState::up_to_date;
            return;
        case ItemOutcome::needs_update:
            state = ItemState::needs_update;
            return;
        case ItemOutcome::success:
            // The read-back matched: the instrument now holds the embedded image.
            if (event.phase == ItemPhase::verify) {
                state = ItemState::updated;
            }
            return;
    }
}

void RunOutcome::fail(WorkItem item, ItemPhase phase) {
    if (result != RunResult::failed || !failed_item) {
        result = RunResult::failed;
        failed_item = item;
        failed_phase = phase;
    }
}

const char* run_result_name(RunResult result) {
    switch (result) {
        case RunResult::up_to_date: return "up to date";
        case RunResult::out_of_date: return "out of date";
        case RunResult::updated: return "updated";
        case RunResult::stopped: return "stopped";
        case RunResult::failed: return "failed";
    }
    return "";
}

const char* item_state_name(ItemState state) {
    switch (state) {
        case ItemState::not_checked: return "not checked";
        case ItemState::up_to_date: return "up to date";
        case ItemState::needs_update: return "needs update";
        case ItemState::updated: return "updated";
        case ItemState::failed: return "failed";
    }
    return "";
}
