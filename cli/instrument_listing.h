#pragma once
// The attached instruments as "list" shows them, and finding the one that
// --device names.
#include <string>
#include <vector>

struct ListedInstrument {
    std::string name;          // "DEV7"
    std::string port;          // the device's path as the backend names it
    std::string serial;        // the USB serial number; empty when it has none
    std::string usb_firmware;  // the boot EEPROM's device id, "major.minor"; empty when unread
};

// The instruments of the last device_list_refresh, in its order. Each one is
// opened once more to read the two device id bytes of its boot EEPROM (the
// same bytes the USB firmware check compares).
std::vector<ListedInstrument> listed_instruments(const std::vector<std::string>& names);
ListedInstrument listed_instrument(int index, const std::string& name);

// "DEV7  usb:1-2  serial 0042  USB firmware 1.38" and its JSON record.
std::string instrument_line(const ListedInstrument& instrument);
class JsonRecord;
JsonRecord instrument_record(const ListedInstrument& instrument);

// A bare USB controller (no firmware: its boot EEPROM holds no boot image) at
// a port: "bare USB controller  port usb:1-2  no firmware; recover with:
// ombrix-fwupdate recover --port usb:1-2", and its JSON record.
std::string bare_controller_line(const std::string& port);
JsonRecord bare_controller_record(const std::string& port);
// "ombrix-fwupdate recover --port usb:1-2", the port quoted for a shell where
// it needs to be.
std::string recover_command_line(const std::string& port);
// "usb:1-2, usb:1-3".
std::string port_list(const std::vector<std::string>& ports);

// The position of the instrument named `wanted`, ignoring case; -1 when none.
int find_instrument(const std::vector<std::string>& names, const std::string& wanted);

// What the command line names the instrument by: at most one of them.
struct InstrumentWanted {
    std::string name;    // as listed, any case
    std::string serial;  // the USB serial number, any case
    std::string port;    // as listed
};
struct InstrumentChoice {
    int index = -1;
    bool ambiguous = false;  // several fit (or none named and several attached)
    std::string reason;      // why none was chosen, with what is attached
};
// The instrument of the last device_list_refresh that `wanted` names, or the
// only one attached when it names none. Never a guess: with several attached
// and none named, or a serial number that two instruments carry, none.
InstrumentChoice choose_instrument(const std::vector<std::string>& names, const InstrumentWanted& wanted);

// "DEV1, DEV7" or "none".
std::string instrument_names(const std::vector<std::string>& names);

// The paths of the interfaces of the instrument's class present now, listed
// or not.
std::vector<std::string> present_instrument_paths();
// Instruments present on the bus that the last device_list_refresh left out:
// held by another program through the open's wait, or not answering the
// identification read.
int unlisted_instrument_count();
// "1 attached instrument could not be opened (another program may hold it)
// or did not answer", or "" for none.
std::string unlisted_instruments_text(int count);
