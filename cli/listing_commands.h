#pragma once
#include <string>

#include "cli/terminal_port.h"

// The versions of the images this program carries.
int run_versions(TerminalPort& port);
// The attached instruments and bare controllers.
int run_list(TerminalPort& port);
// An error that no instrument was found, with the instruments present that
// the list left out and any bare controller attached.
std::string not_found_error(const std::string& text);
