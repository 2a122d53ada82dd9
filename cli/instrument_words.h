#pragma once
// The command line calls the unit an instrument in every text it shows. The
// core's log lines and messages are the window's, which says "device": they
// are shown here with the command line's word.
#include <string>
#include <string_view>

// "Restarting the device ..." -> "Restarting the instrument ...": the whole
// words device, devices, Device and Devices; everything else as it was.
std::string in_instrument_words(std::string_view text);
