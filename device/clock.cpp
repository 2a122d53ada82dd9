#include "device/clock.h"

#include <chrono>
#include <thread>

std::uint64_t SystemClock::now_ms() {
    const auto since_start = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(since_start).count());
}

void SystemClock::sleep_ms(std::uint32_t milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

namespace {
SystemClock system_clock;
Clock* installed_clock = &system_clock;
}  // namespace

void clock_install(Clock* clock) { installed_clock = clock != nullptr ? clock : &system_clock; }

Clock& clock_current() { return *installed_clock; }
