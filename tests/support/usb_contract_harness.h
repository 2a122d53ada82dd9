#pragma once
// What the device contract suite needs of a backend under test: the backend,
// and the simulated instrument behind it (through whatever stand-in the
// backend reaches it by), whose faults the suite switches.
#include <functional>
#include <memory>
#include <ostream>
#include <string>

#include "device/usb.h"
#include "sim/sim_backend.h"

class UsbContractHarness {
public:
    virtual ~UsbContractHarness() = default;
    // The backend whose contract is checked; the suite installs it.
    virtual UsbBackend& backend_under_test() = 0;
    // The simulated bus behind it, and its clock.
    virtual sim::SimBackend& bus() = 0;
    virtual sim::VirtualClock& clock() = 0;
    // How far a wait measured on that clock may fall short of the time the
    // backend really waited: 0 where the backend waits on the virtual clock
    // itself; more where it waits in real time and the stand-in moves the
    // clock on by the real time it sees between two requests.
    virtual std::uint64_t clock_resolution_us() const { return 0; }
};

struct UsbContractBackend {
    std::string name;
    std::function<std::unique_ptr<UsbContractHarness>()> make;
};

inline void PrintTo(const UsbContractBackend& backend, std::ostream* out) { *out << backend.name; }

// Every backend the suite runs against in this build.
std::vector<UsbContractBackend> usb_contract_backends();
