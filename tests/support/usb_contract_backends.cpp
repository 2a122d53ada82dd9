// The backends the device contract suite runs against. A backend that only
// exists on some platforms adds its harness here under its own condition.
#include "support/usb_contract_harness.h"

#ifdef _WIN32
#include "device/winusb/winusb_backend.h"
#include "support/winusb_standin.h"
#endif

#if defined(__linux__) && defined(OMBRIX_HAVE_UMOCKDEV)
#include "support/umockdev_harness.h"
#endif

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

#ifdef _WIN32
// The WinUSB backend, its system calls answered by the stand-in over the
// simulated bus.
class WinUsbHarness final : public UsbContractHarness {
public:
    UsbBackend& backend_under_test() override { return backend_; }
    sim::SimBackend& bus() override { return bus_; }
    sim::VirtualClock& clock() override { return clock_; }

private:
    sim::VirtualClock clock_;
    sim::SimBackend bus_{clock_};
    WinUsbStandin standin_{bus_};
    WinUsbBackend backend_{standin_.api()};
};
#endif

}  // namespace

std::vector<UsbContractBackend> usb_contract_backends() {
    std::vector<UsbContractBackend> backends;
    backends.push_back({"simulated", [] { return std::make_unique<SimHarness>(); }});
#ifdef _WIN32
    backends.push_back({"winusb", [] { return std::make_unique<WinUsbHarness>(); }});
#endif
#if defined(__linux__) && defined(OMBRIX_HAVE_UMOCKDEV)
    // libusb over umockdev's stand-in devices: only under umockdev's preload.
    if (UmockdevUsbfs::preloaded()) {
        backends.push_back({"libusb", [] { return std::make_unique<UmockdevLibusbHarness>(); }});
    }
#endif
    return backends;
}
