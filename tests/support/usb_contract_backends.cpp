// The backends the device contract suite runs against. A backend that only
// exists on some platforms adds its harness here under its own condition.
#include "support/usb_contract_harness.h"

namespace {

// The simulated instrument's own backend: the host's USB stack itself.
class SimHarness final : public UsbContractHarness {
public:
    UsbBackend& backend_under_test() override { return bus_; }
    sim::SimBackend& bus() override { return bus_; }
    sim::VirtualClock& clock() override { return clock_; }

private:
    sim::VirtualClock clock_;
    sim::SimBackend bus_{clock_};
};

}  // namespace

std::vector<UsbContractBackend> usb_contract_backends() {
    std::vector<UsbContractBackend> backends;
    backends.push_back({"simulated", [] { return std::make_unique<SimHarness>(); }});
    return backends;
}
