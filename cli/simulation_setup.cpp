#include "cli/simulation_setup.h"

#include "sim/loaded_images.h"
#include "sim/simulated_faults.h"

// "bare": an outdated instrument whose boot EEPROM holds no boot image (an
// interrupted USB firmware write).
sim::InitialState simulated_contents(const std::string& kind) {
    if (kind == "bare") {
        return {sim::Contents::older, sim::Contents::blank, sim::Contents::older};
    }
    const sim::Contents contents = kind == "current" ? sim::Contents::current
                                   : kind == "blank" ? sim::Contents::blank
                                                     : sim::Contents::older;
    sim::InitialState state = sim::InitialState::all(contents);
    // An instrument with an empty boot EEPROM is a bare controller; a blank
    // one here is blank everywhere else and boots older firmware.
    if (contents == sim::Contents::blank) {
        state.eeprom = sim::Contents::older;
    }
    return state;
}

std::string simulated_port_name([[maybe_unused]] int number) {
#if defined(_WIN32)
    return "";  // the bus's own name: a device interface path, as SetupAPI gives one
#else
    return "usb:1-" + std::to_string(number);  // as the libusb backend names a port
#endif
}

std::unique_ptr<SimulatedBus> simulated_bus(const CliOptions& options) {
    auto bus = std::make_unique<SimulatedBus>(simulated_contents(options.simulate.value_or("outdated")),
                                              options.instruments, options.speed_up, simulated_port_name,
                                              simulated_port_name(1).empty() ? "" : options.port);
    sim::Instrument* first = bus->attached(1);
    if (const sim::NamedFault* fault = sim::find_named_fault(options.fault); fault != nullptr && first != nullptr) {
        fault->arm(bus->bus(), *first, sim::loaded_image_set());
    }
    return bus;
}
