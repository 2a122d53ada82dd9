#pragma once
// Time as the core sees it. Every pause and every wait of the device layer and
// the operations above it goes through the installed clock, so that tests and
// the simulated instrument can run on virtual time.
#include <cstdint>

class Clock {
public:
    virtual ~Clock() = default;
    virtual std::uint64_t now_ms() = 0;
    virtual void sleep_ms(std::uint32_t milliseconds) = 0;
};

// Real time: a steady clock and a thread sleep. The clock installed at start-up.
class SystemClock final : public Clock {
public:
    std::uint64_t now_ms() override;
    void sleep_ms(std::uint32_t milliseconds) override;
};

// Installs the process's clock; nullptr goes back to the system clock.
void clock_install(Clock* clock);
Clock& clock_current();
inline void clock_sleep_ms(std::uint32_t milliseconds) { clock_current().sleep_ms(milliseconds); }
