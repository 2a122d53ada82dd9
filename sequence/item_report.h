#pragma once
// What the worker finds and does, item by item, for a front end that shows
// more than the log: the command line's table and its JSON records. The log,
// the bars and the messages stay the window's whole account; this adds
// nothing to them and changes nothing the worker does.
#include <string>
#include <string_view>

#include "sequence/item_table.h"

enum class ItemPhase : int { check, erase, program, verify };

enum class ItemOutcome : int {
    up_to_date,    // check: the instrument holds the embedded image
    needs_update,  // check: it differs
    success,       // erase, program, verify: done
    failed,        // any phase: could not be done or did not match
    started,       // erase, program, verify: the step begins (writing, for the first two)
};

struct ItemEvent {
    WorkItem item = WorkItem::firmware;
    ItemPhase phase = ItemPhase::check;
    ItemOutcome outcome = ItemOutcome::failed;
    // What the instrument says it holds, where it says it (the USB firmware's
    // device id as "major.minor", a supply's six MFR_DATE characters); else empty.
    std::string installed_revision;
};

class ItemObserver {
  public:
    virtual ~ItemObserver() = default;
    // Called on the worker's thread.
    virtual void item_event(const ItemEvent& event) = 0;
};

// The observer the worker reports to; nullptr (the default) reports to nobody.
void item_observer_install(ItemObserver* observer);
void item_report(WorkItem item, ItemPhase phase, ItemOutcome outcome,
                 std::string_view installed_revision = {});

// Names as the command line prints them and its JSON records carry them
// (an item's own name is its row's, work_item_name).
const char* item_phase_name(ItemPhase phase);        // "erase"
const char* item_outcome_name(ItemOutcome outcome);  // "needs update"
