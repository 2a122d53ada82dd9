#include "sim/virtual_clock.h"

namespace sim {

std::uint64_t VirtualClock::now_ms() {
    return now_us() / 1000;
}

void VirtualClock::sleep_ms(std::uint32_t milliseconds) {
    advance_us(std::uint64_t{milliseconds} * 1000);
}

std::uint64_t VirtualClock::now_us() const {
    const std::lock_guard lock(mutex_);
    return now_us_;
}

void VirtualClock::advance_us(std::uint64_t microseconds) {
    const std::lock_guard lock(mutex_);
    now_us_ += microseconds;
}

void VirtualClock::advance_to_us(std::uint64_t time_us) {
    const std::lock_guard lock(mutex_);
    if (time_us > now_us_) {
        now_us_ = time_us;
    }
}

}  // namespace sim
