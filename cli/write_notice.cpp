#include "cli/write_notice.h"

namespace {

bool write_begins(const ItemEvent& event) {
    return event.outcome == ItemOutcome::started &&
           (event.phase == ItemPhase::erase || event.phase == ItemPhase::program);
}

}  // namespace

bool WriteNotice::due(const ItemEvent& event) {
    if (given_ || !write_begins(event)) {
        return false;
    }
    given_ = true;
    return true;
}
