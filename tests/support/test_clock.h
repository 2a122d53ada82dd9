#pragma once
// Virtual time for tests: sleeping advances the clock at once, so protocol
// pauses and timeouts cost nothing and every run sees the same times.
#include <cstdint>

#include "device/clock.h"

class TestClock : public Clock {
  public:
    std::uint64_t now_ms() override { return now_ms_; }
    void sleep_ms(std::uint32_t milliseconds) override { now_ms_ += milliseconds; }

  private:
    std::uint64_t now_ms_ = 0;
};

// A TestClock installed as the process's clock for its lifetime.
class InstalledTestClock : public TestClock {
  public:
    InstalledTestClock() { clock_install(this); }
    ~InstalledTestClock() override { clock_install(nullptr); }
    InstalledTestClock(const InstalledTestClock&) = delete;
    InstalledTestClock& operator=(const InstalledTestClock&) = delete;
};
