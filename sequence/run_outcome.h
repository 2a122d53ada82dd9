#pragma once
// How a run ended, as the worker knows it: what the front ends decide their
// results from, instead of reading the window's log or its message boxes.
#include <array>
#include <optional>

#include "sequence/item_report.h"

enum class RunResult {
    up_to_date,   // every item held the embedded set; nothing was written
    out_of_date,  // a Verify run found items that differ and checked every item
    updated,      // a Program run rewrote what differed and read every rewrite back
    stopped,      // a stop request ended it (stopped_before says where)
    failed,       // it could not be completed (failed_item and failed_phase say where)
};

// An item's state at the end of the run.
enum class ItemState { not_checked, up_to_date, needs_update, updated, failed };

struct RunOutcome {
    RunResult result = RunResult::failed;
    // An erase or write of the instrument began: an interruption from then on
    // leaves what a later run repairs.
    bool writing_began = false;
    // stopped: the item left undone first; none when nothing was written.
    std::optional<WorkItem> stopped_before;
    // failed: the item and the step that failed; none when the run failed
    // before the checks (the instrument not reached, the flash core upload).
    std::optional<WorkItem> failed_item;
    ItemPhase failed_phase = ItemPhase::check;
    std::array<ItemState, ITEM_CAPACITY> states{};

    ItemState state(WorkItem item) const { return states[static_cast<std::size_t>(item)]; }
    // Follows one item event: the states, and where writing began.
    void follow(const ItemEvent& event);
    // The first failed step, unless one is already named.
    void fail(WorkItem item, ItemPhase phase);
};

const char* run_result_name(RunResult result);  // "out of date"
const char* item_state_name(ItemState state);   // "needs update"
