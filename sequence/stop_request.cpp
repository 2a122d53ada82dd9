#include "sequence/stop_request.h"

#include <atomic>

namespace {

std::atomic<bool> stop_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

}  // namespace

void worker_request_stop() {
    stop_requested.store(true);
}

bool worker_stop_requested() {
    return stop_requested.load();
}

void worker_clear_stop() {
    stop_requested.store(false);
}
