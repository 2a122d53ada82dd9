#pragma once
// The faults a front end's simulated instrument can run with, by name (the
// command line's --fault): each is one the instrument models, set up so that
// a run of verify or program meets it. The names, the descriptions and how
// each is set up live only here, so the help, the parser and the man page
// agree.
#include <span>
#include <string_view>

#include "sim/image_set.h"
#include "sim/sim_backend.h"

namespace sim {

struct NamedFault {
    const char* name;         // as it is given: lower case, words joined by '-'
    const char* description;  // one line, for the help
    // Sets the fault up in the instrument before any run reaches it.
    void (*arm)(SimBackend& bus, Instrument& instrument, const ImageSet& images);
};

std::span<const NamedFault> named_faults();

// The fault of that name, in any case; nullptr when there is none.
const NamedFault* find_named_fault(std::string_view name);

}  // namespace sim
