#include "sequence/item_report.h"

#include <atomic>

namespace {

std::atomic<ItemObserver*> installed_observer{nullptr};

}  // namespace

void item_observer_install(ItemObserver* observer) {
    installed_observer.store(observer);
}

void item_report(WorkItem item, ItemPhase phase, ItemOutcome outcome,
                 std::string_view installed_revision) {
    ItemObserver* const observer = installed_observer.load();
    if (observer == nullptr) {
        return;
    }
    observer->item_event(ItemEvent{item, phase, outcome, std::string(installed_revision)});
}

const char* item_phase_name(ItemPhase phase) {
    switch (phase) {
        case ItemPhase::check:
            return "check";
        case ItemPhase::erase:
            return "erase";
        case ItemPhase::program:
            return "program";
        case ItemPhase::verify:
            return "verify";
    }
    return "";
}

const char* item_outcome_name(ItemOutcome outcome) {
    switch (outcome) {
        case ItemOutcome::up_to_date:
            return "up to date";
        case ItemOutcome::needs_update:
            return "needs update";
        case ItemOutcome::success:
            return "success";
        case ItemOutcome::failed:
            return "failed";
        case ItemOutcome::started:
            return "started";
    }
    return "";
}
