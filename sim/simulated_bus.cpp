#include "sim/simulated_bus.h"

#include <thread>

#include "sim/loaded_images.h"

RealTimePacing::RealTimePacing(sim::VirtualClock& clock, double speed_up)
    : clock_(clock),
      speed_up_(speed_up),
      virtual_start_us_(clock.now_us()),
      real_start_(std::chrono::steady_clock::now()) {}

void RealTimePacing::pace() {
    const double virtual_elapsed_us = static_cast<double>(clock_.now_us() - virtual_start_us_);
    const auto due = real_start_ + std::chrono::microseconds(
                                       static_cast<std::int64_t>(virtual_elapsed_us / speed_up_));
    // Small debts are paid together: sleeping for microseconds costs more than it waits.
    if (due - std::chrono::steady_clock::now() > std::chrono::milliseconds(2)) {
        std::this_thread::sleep_until(due);
    }
}

void PacedClock::sleep_ms(std::uint32_t milliseconds) {
    clock_.sleep_ms(milliseconds);
    if (pacing_ != nullptr) {
        pacing_->pace();
    }
}

void PacedBackend::pace() {
    if (pacing_ != nullptr) {
        pacing_->pace();
    }
}

int PacedBackend::control_transfer(UsbDevice& device, const UsbSetupPacket& setup,
                                   std::span<std::uint8_t> data) {
    const int result = ForwardingUsbBackend::control_transfer(device, setup, data);
    pace();
    return result;
}

bool PacedBackend::wait(UsbDevice& device, PipeState& pipe, std::uint32_t timeout_ms) {
    const bool completed = ForwardingUsbBackend::wait(device, pipe, timeout_ms);
    pace();
    return completed;
}

sim::Instrument* SimulatedBus::attached(int number) const {
    for (std::size_t i = 0; i < numbers_.size(); ++i) {
        if (numbers_[i] == number) {
            return instruments_[i];
        }
    }
    return nullptr;
}

SimulatedBus::SimulatedBus(const sim::InitialState& contents, double speed_up)
    : SimulatedBus(contents, 1, speed_up) {}

SimulatedBus::SimulatedBus(const sim::InitialState& contents, int count, double speed_up)
    : SimulatedBus(contents, count, speed_up, nullptr) {}

SimulatedBus::SimulatedBus(const sim::InitialState& contents, int count, double speed_up,
                           const std::function<std::string(int number)>& port_name, const std::string& only_port)
    : pacing_(speed_up > 0 ? std::make_unique<RealTimePacing>(virtual_clock_, speed_up) : nullptr),
      bus_(virtual_clock_),
      paced_backend_(bus_, pacing_.get()),
      paced_clock_(virtual_clock_, pacing_.get()) {
    bool port_among_them = false;
    for (int number = 1; number <= count && port_name; ++number) {
        port_among_them = port_among_them || port_name(number) == only_port;
    }
    for (int number = 1; number <= count; ++number) {
        if (port_among_them && port_name(number) != only_port) {
            continue;
        }
        sim::InstrumentConfig config;
        config.device_number = number;
        config.initial = contents;
        config.record_bulk_data = false;  // a whole run's bulk bytes are not kept
        auto instrument = std::make_unique<sim::Instrument>(std::move(config), sim::loaded_image_set());
        if (port_name) {
            instrument->set_path(port_name(number));  // empty: the bus names the port
        }
        instruments_.push_back(&bus_.attach(std::move(instrument)));
        numbers_.push_back(number);
    }
}
