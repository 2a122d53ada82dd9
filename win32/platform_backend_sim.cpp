// The demo: the same window over one simulated instrument that holds an
// older image set, its timing paced to a few times real time.
#include "sim/simulated_bus.h"
#include "win32/platform_backend.h"

namespace {

constexpr double DEMO_SPEED_UP = 4.0;

SimulatedBus& demo_bus() {
    static SimulatedBus bus(sim::InitialState::all(sim::Contents::older), DEMO_SPEED_UP);
    return bus;
}

}  // namespace

UsbBackend& platform_usb_backend() {
    return demo_bus().backend();
}

Clock& platform_clock() {
    return demo_bus().clock();
}
