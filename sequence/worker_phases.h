#pragma once
// The worker's phases and what they share: one run's instrument, its item
// rows, what the checks found and how the run ends.
#include <array>
#include <span>
#include <string_view>

#include "device/usb.h"
#include "sequence/item_report.h"
#include "sequence/item_table.h"
#include "sequence/run_outcome.h"

// What the check phase found, by item: image_verify results for the flash
// items (positive: up to date, 0: differs) and 1 / 0 for the others.
struct CheckResults {
    std::array<int, ITEM_CAPACITY> found{};

    int& operator[](WorkItem item) { return found[static_cast<std::size_t>(item)]; }
    int operator[](WorkItem item) const { return found[static_cast<std::size_t>(item)]; }
};

struct WorkerRun {
    UsbDevice* device = nullptr;
    bool program_mode = false;
    std::span<const ItemRow> items;
    CheckResults results;
    RunOutcome& outcome;

    bool all_up_to_date() const;
    // To the installed observer, and into the outcome.
    void report(WorkItem item, ItemPhase phase, ItemOutcome item_outcome,
                std::string_view installed_revision = {});
    // Ends the run here when a stop was asked for: logs "Stopped on request."
    // and says in a warning what was left undone. next_item is the first
    // item left undone, or nullptr before anything was written; next_phase
    // the step of it that was not begun (its erase: nothing of it touched).
    bool stops_here(const ItemRow* next_item, ItemPhase next_phase = ItemPhase::erase);
    // A failure that ends the run: its message (a warning) and its place in
    // the outcome.
    void fail(WorkItem item, ItemPhase phase, const char* message);
};

// The check phase; false when it ended the run (a stop, or a flash comparison
// that could not be completed, its message already shown).
bool check_phase(WorkerRun& run);

// Rewrites what the check phase found out of date, in the rows' write order,
// and ends with the final summary or the message of the first failure.
void programming_phase(WorkerRun& run);
