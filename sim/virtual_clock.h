#pragma once
// Virtual time for the simulated instrument and everything that runs against
// it: sleeping advances the clock at once, so protocol pauses, timeouts and
// modelled device delays cost nothing and every run sees the same times.
#include <cstdint>
#include <mutex>

#include "device/clock.h"

namespace sim {

class VirtualClock final : public Clock {
  public:
    explicit VirtualClock(std::uint64_t start_us = 0) : now_us_(start_us) {}

    std::uint64_t now_ms() override;
    void sleep_ms(std::uint32_t milliseconds) override;

    std::uint64_t now_us() const;
    void advance_us(std::uint64_t microseconds);
    // Moves the clock forward to time_us; a time in the past changes nothing.
    void advance_to_us(std::uint64_t time_us);

  private:
    mutable std::mutex mutex_;
    std::uint64_t now_us_;
};

// A VirtualClock installed as the process's clock for its lifetime.
class InstalledVirtualClock {
  public:
    explicit InstalledVirtualClock(VirtualClock& clock) { clock_install(&clock); }
    ~InstalledVirtualClock() { clock_install(nullptr); }
    InstalledVirtualClock(const InstalledVirtualClock&) = delete;
    InstalledVirtualClock& operator=(const InstalledVirtualClock&) = delete;
};

}  // namespace sim
