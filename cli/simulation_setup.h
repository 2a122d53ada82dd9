#pragma once
// The simulated instruments of --simulate, as the options ask for them: what
// they hold, how many there are, the fault DEV1 runs with, and the pacing.
#include <memory>
#include <string>

#include "cli/cli_options.h"
#include "sim/simulated_bus.h"

// What --simulate's instruments hold, by the contents it names.
sim::InitialState simulated_contents(const std::string& kind);

// The port of simulated instrument DEVn, as the platform's backend names one
// of a real instrument: "usb:1-n" on Linux; empty on Windows, where the bus
// names it by a device interface path.
std::string simulated_port_name(int number);

// The bus with DEV1 to DEVn attached and --fault armed in DEV1; for options
// whose simulate is set.
std::unique_ptr<SimulatedBus> simulated_bus(const CliOptions& options);
