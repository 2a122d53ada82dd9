#pragma once
// The simulated instruments behind the front ends' simulated modes (the
// command line's --simulate, the Windows demo):
// one or more instruments on a SimBackend, its virtual clock paced against
// real time so that a run shows the instrument's timing, faster by a fixed
// factor.
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <span>
#include <vector>

#include "device/clock.h"
#include "device/forwarding_backend.h"
#include "device/usb.h"
#include "sim/sim_backend.h"

// Keeps virtual time from running ahead of real time times the speed-up.
class RealTimePacing {
public:
    RealTimePacing(sim::VirtualClock& clock, double speed_up);
    void pace();

private:
    sim::VirtualClock& clock_;
    double speed_up_;
    std::uint64_t virtual_start_us_;
    std::chrono::steady_clock::time_point real_start_;
};

// The clock the core uses: the virtual clock, paced.
class PacedClock final : public Clock {
public:
    PacedClock(sim::VirtualClock& clock, RealTimePacing* pacing) : clock_(clock), pacing_(pacing) {}
    std::uint64_t now_ms() override { return clock_.now_ms(); }
    void sleep_ms(std::uint32_t milliseconds) override;

private:
    sim::VirtualClock& clock_;
    RealTimePacing* pacing_;
};

// A backend that paces after every primitive that may take instrument time.
class PacedBackend final : public ForwardingUsbBackend {
public:
    PacedBackend(UsbBackend& backend, RealTimePacing* pacing)
        : ForwardingUsbBackend(backend), pacing_(pacing) {}
    int control_transfer(UsbDevice& device, const UsbSetupPacket& setup,
                         std::span<std::uint8_t> data) override;
    bool wait(UsbDevice& device, PipeState& pipe, std::uint32_t timeout_ms) override;

private:
    void pace();
    RealTimePacing* pacing_;
};

// Simulated instruments holding the given contents, on their own bus and clock.
class SimulatedBus {
public:
    // speed_up 0: no pacing, virtual time only.
    SimulatedBus(const sim::InitialState& contents, double speed_up);
    // DEV1 to DEVcount, each on a port of its own, with the USB serial number
    // its device number gives it (OX00000001 ...).
    SimulatedBus(const sim::InitialState& contents, int count, double speed_up);
    // The same with the port each instrument is attached at, by its device
    // number (as the platform names ports: "usb:1-2").
    // Only the instrument whose port is only_port, when one has it (a process
    // that runs one instrument of several holds no others); else all of them.
    SimulatedBus(const sim::InitialState& contents, int count, double speed_up,
                 const std::function<std::string(int number)>& port_name, const std::string& only_port = "");
    UsbBackend& backend() { return paced_backend_; }
    Clock& clock() { return paced_clock_; }
    sim::Instrument& instrument() { return *instruments_.front(); }  // the first attached: DEV1 unless only_port
    // DEVnumber, or nullptr when it was not attached.
    sim::Instrument* attached(int number) const;
    std::span<sim::Instrument* const> instruments() const { return instruments_; }
    sim::SimBackend& bus() { return bus_; }

private:
    sim::VirtualClock virtual_clock_;
    std::unique_ptr<RealTimePacing> pacing_;
    sim::SimBackend bus_;
    PacedBackend paced_backend_;
    PacedClock paced_clock_;
    std::vector<sim::Instrument*> instruments_;  // owned by bus_, DEV1 first
    std::vector<int> numbers_;                  // each one's device number
};
