#include "cli/item_recorder.h"

#include <utility>

ItemRecorder::ItemRecorder(LiveDisplay show) : show_(std::move(show)) {}

void ItemRecorder::item_event(const ItemEvent& event) {
    {
        std::lock_guard lock(mutex_);
        report_.record(event);
    }
    if (show_) {
        show_(event);
    }
}

RunReport ItemRecorder::report() const {
    std::lock_guard lock(mutex_);
    return report_;
}
