#pragma once
// The worker's item reports as the command line takes them: each recorded in
// the run's report (the table, the items of the result record), then handed
// to whatever shows the run as it goes (the item records, the write notice).
#include <functional>
#include <mutex>

#include "cli/run_report.h"
#include "sequence/item_report.h"

class ItemRecorder final : public ItemObserver {
public:
    using LiveDisplay = std::function<void(const ItemEvent&)>;

    explicit ItemRecorder(LiveDisplay show);

    // On the worker's thread: every event, a step beginning included.
    void item_event(const ItemEvent& event) override;

    // What the reports so far found and did.
    RunReport report() const;

private:
    mutable std::mutex mutex_;
    RunReport report_;
    LiveDisplay show_;
};
