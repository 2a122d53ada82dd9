// What the phases share: the run's reports, its stop points and its failures.
#include "sequence/worker_phases.h"

#include <algorithm>
#include <string>

#include "sequence/run_messages.h"
#include "sequence/stop_request.h"
#include "window/log.h"
#include "window/window_port.h"

bool WorkerRun::all_up_to_date() const {
    return std::all_of(items.begin(), items.end(),
                       [&](const ItemRow& row) { return results[row.item] != 0; });
}

void WorkerRun::report(WorkItem item, ItemPhase phase, ItemOutcome item_outcome,
                       std::string_view installed_revision) {
    outcome.follow(ItemEvent{item, phase, item_outcome, std::string(installed_revision)});
    item_report(item, phase, item_outcome, installed_revision);
}

namespace {

// What a stop before next_phase of the item leaves, as the warning says it.
std::string stop_text(const ItemRow& item, ItemPhase next_phase, bool earlier_items_written) {
    const std::string name = item.name;
    std::string text;
    if (next_phase == ItemPhase::program) {
        text = "The run was stopped after the " + name + " was erased: its region is now blank, and "
               "it and the items after it were not rewritten.";
    } else if (next_phase == ItemPhase::verify) {
        text = "The run was stopped after the " + name + " was written, before it was read back: "
               "it and the items after it are not known to be up to date.";
    } else {
        text = "The run was stopped before the " + name + " was rewritten: it and the items "
               "after it were not rewritten.";
    }
    if (earlier_items_written) {
        text += " The items rewritten before it were read back and are up to date.";
    }
    return text + "\r\nRun program again to bring the device up to date.";
}

}  // namespace

bool WorkerRun::stops_here(const ItemRow* next_item, ItemPhase next_phase) {
    if (!worker_stop_requested()) {
        return false;
    }
    log_append(STOPPED_LOG);
    log_end_line();
    outcome.result = RunResult::stopped;
    if (next_item == nullptr) {
        window_port().message_box(STOPPED_BEFORE_WRITING, MessageIcon::warning);
        return true;
    }
    outcome.stopped_before = next_item->item;
    const bool earlier_items_written =
        std::any_of(items.begin(), items.end(), [&](const ItemRow& row) {
            return outcome.state(row.item) == ItemState::updated;
        });
    const std::string text = stop_text(*next_item, next_phase, earlier_items_written);
    window_port().message_box(text.c_str(), MessageIcon::warning);
    return true;
}

void WorkerRun::fail(WorkItem item, ItemPhase phase, const char* message) {
    outcome.fail(item, phase);
    window_port().message_box(message, MessageIcon::warning);
}
