// The command-line program over the WinUSB stand-in: its WinUSB backend and
// everything above it run unchanged, reaching simulated instruments (holding
// the current image set, on virtual time) through the stand-in's functions.
//   OMBRIX_STANDIN_INSTRUMENTS  how many are attached: 0 to 16, 1 when unset
//   OMBRIX_STANDIN_FAULT        a fault of DEV1 by its --fault name
//                               (access-denied: another program holds it)
#include <cstdlib>
#include <string>

#include "cli/winusb_access.h"
#include "sim/loaded_images.h"
#include "sim/simulated_bus.h"
#include "sim/simulated_faults.h"
#include "support/winusb_standin.h"

namespace {

constexpr int MOST_INSTRUMENTS = 16;

int instrument_count() {
    const char* count = std::getenv("OMBRIX_STANDIN_INSTRUMENTS");
    if (count == nullptr) {
        return 1;
    }
    const int value = std::atoi(count);
    return value < 0 ? 0 : value > MOST_INSTRUMENTS ? MOST_INSTRUMENTS : value;
}

struct StandinInstruments {
    StandinInstruments() : bus(sim::InitialState::all(sim::Contents::current), instrument_count(), 0), standin(bus.bus()) {
        const char* fault_name = std::getenv("OMBRIX_STANDIN_FAULT");
        const sim::NamedFault* fault = sim::find_named_fault(fault_name != nullptr ? fault_name : "");
        if (fault != nullptr && !bus.instruments().empty()) {
            fault->arm(bus.bus(), bus.instrument(), sim::loaded_image_set());
        }
        // The core's pauses run on the instruments' clock.
        clock_install(&bus.clock());
    }

    SimulatedBus bus;
    WinUsbStandin standin;
};

}  // namespace

// Called once the image set is loaded (the instruments are built from it).
const WinUsbApi& console_winusb_api() {
    static StandinInstruments instruments;
    return instruments.standin.api();
}
