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

bool WorkerRun::stops_here(const ItemRow* next_item) {
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
    const std::string text = std::string("The run was stopped before the ") + next_item->name +
                             " was rewritten: the items before it are written and checked, it "
                             "and the items after it are not up to date.\r\nRun program again "
                             "to bring the device up to date.";
    window_port().message_box(text.c_str(), MessageIcon::warning);
    return true;
}

void WorkerRun::fail(WorkItem item, ItemPhase phase, const char* message) {
    outcome.fail(item, phase);
    window_port().message_box(message, MessageIcon::warning);
}
