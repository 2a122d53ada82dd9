#include "cli/instrument_listing.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "cli/json_record.h"
#include "cli/run_report.h"
#include "device/usb.h"
#include "images/images.h"
#include "instruments/device_list.h"

namespace {

constexpr int DEVICE_ID_ADDRESS = 5;

std::string usb_firmware_revision(UsbDevice* device) {
    if (usb_open_device(device, 1) != 0) {
        return "";
    }
    std::uint8_t reply[2] = {};
    int length = 2;
    usb_control_transfer(device, 0, VREQ_BUS_TRANSFER, BUS_EEPROM_READ | BUS_ADDRESS_EEPROM,
                         DEVICE_ID_ADDRESS, &length, reply);
    usb_close_device(device);
    return length == 2 ? std::string(usb_revision_text(reply[1], reply[0]).data()) : "";
}

bool same_name(const std::string& a, const std::string& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

}  // namespace

ListedInstrument listed_instrument(int index, const std::string& name) {
    ListedInstrument instrument;
    instrument.name = name;
    UsbDevice* device = listed_device(index);
    if (device == nullptr) {
        return instrument;
    }
    instrument.port = device->path != nullptr ? printable(device->path) : "";
    instrument.usb_firmware = usb_firmware_revision(device);
    // Filled at every open; bounded by its size whatever the device sent.
    instrument.serial = printable(std::string(
        device->serial_number, strnlen(device->serial_number, sizeof device->serial_number)));
    return instrument;
}

std::vector<ListedInstrument> listed_instruments(const std::vector<std::string>& names) {
    std::vector<ListedInstrument> instruments;
    for (int i = 0; i < listed_device_count() && static_cast<std::size_t>(i) < names.size(); ++i) {
        instruments.push_back(listed_instrument(i, names[static_cast<std::size_t>(i)]));
    }
    return instruments;
}

std::string instrument_line(const ListedInstrument& instrument) {
    const auto or_dash = [](const std::string& text) { return text.empty() ? "-" : text; };
    return instrument.name + "  port " + or_dash(instrument.port) + "  serial " +
           or_dash(instrument.serial) + "  USB firmware " + or_dash(instrument.usb_firmware);
}

JsonRecord instrument_record(const ListedInstrument& instrument) {
    JsonRecord record("instrument");
    record.add("name", instrument.name).add("port", instrument.port).add("serial", instrument.serial);
    if (instrument.usb_firmware.empty()) {
        record.add_json("usb_firmware", "null");
    } else {
        record.add("usb_firmware", instrument.usb_firmware);
    }
    return record;
}

namespace {

// The port as a shell word: quoted when it holds anything but the characters
// of a Linux port path ("usb:1-4.2"); a simulated port names a Windows path.
std::string shell_word(const std::string& text) {
    const bool plain = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 || std::strchr(":._/-", c) != nullptr;
    });
    if (plain) {
        return text;
    }
    std::string quoted = "'";
    for (const char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

}  // namespace

std::string recover_command_line(const std::string& port) {
    return "ombrix-fwupdate recover --port " + shell_word(printable(port));
}

std::string bare_controller_line(const std::string& port) {
    return "bare USB controller  port " + printable(port) +
           "  no firmware; recover with: " + recover_command_line(port);
}

JsonRecord bare_controller_record(const std::string& port) {
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04x:%04x", BARE_CONTROLLER_VENDOR_ID, BARE_CONTROLLER_PRODUCT_ID);
    JsonRecord record("bare_controller");
    record.add("port", printable(port))
        .add("usb_ids", ids)
        .add("recover_command", recover_command_line(port));
    return record;
}

std::string port_list(const std::vector<std::string>& ports) {
    std::string text;
    for (const std::string& port : ports) {
        text += (text.empty() ? "" : ", ") + printable(port);
    }
    return text.empty() ? "none" : text;
}

int find_instrument(const std::vector<std::string>& names, const std::string& wanted) {
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (same_name(names[i], wanted)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

namespace {

// The listed devices' port or serial number, without opening them again.
std::string listed_port(int index) {
    const UsbDevice* device = listed_device(index);
    return device != nullptr && device->path != nullptr ? printable(device->path) : "";
}

std::string listed_serial(int index) {
    const UsbDevice* device = listed_device(index);
    return device == nullptr ? ""
                             : printable(std::string(device->serial_number,
                                                     strnlen(device->serial_number,
                                                             sizeof device->serial_number)));
}

std::string attached_instrument(const std::vector<std::string>& names, std::size_t i) {
    const int index = static_cast<int>(i);
    return names[i] + "  port " + listed_port(index) + "  serial " +
           (listed_serial(index).empty() ? "-" : listed_serial(index));
}

// "\n  DEV1  port usb:1-2  serial 0042" lines, one per listed instrument.
std::string attached_lines(const std::vector<std::string>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        text += "\n  " + attached_instrument(names, i);
    }
    return text;
}

// "DEV1 (port usb:1-2  serial 0042), DEV2 (...)".
std::string attached_list(const std::vector<std::string>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string line = attached_instrument(names, i);
        const std::size_t space = line.find(' ');
        text += (i == 0 ? "" : ", ") + line.substr(0, space) + " (" + line.substr(space + 2) + ")";
    }
    return text;
}

std::vector<int> matching(const std::vector<std::string>& names, const InstrumentWanted& wanted) {
    std::vector<int> found;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const int index = static_cast<int>(i);
        const bool fits = !wanted.name.empty()     ? same_name(names[i], wanted.name)
                          : !wanted.serial.empty() ? same_name(listed_serial(index), wanted.serial)
                                                   : listed_port(index) == wanted.port;
        if (fits) {
            found.push_back(index);
        }
    }
    return found;
}

std::string wanted_text(const InstrumentWanted& wanted) {
    return !wanted.name.empty()     ? "No instrument " + wanted.name
           : !wanted.serial.empty() ? "No instrument with serial number " + wanted.serial
                                    : "No instrument at port " + wanted.port;
}

}  // namespace

InstrumentChoice choose_instrument(const std::vector<std::string>& names, const InstrumentWanted& wanted) {
    InstrumentChoice choice;
    const bool named = !wanted.name.empty() || !wanted.serial.empty() || !wanted.port.empty();
    if (names.empty()) {
        choice.reason = named ? wanted_text(wanted) + " found; none is attached" : "No instrument found";
        return choice;
    }
    if (!named) {
        if (names.size() == 1) {
            choice.index = 0;
            return choice;
        }
        choice.ambiguous = true;
        choice.reason = std::to_string(names.size()) +
                        " instruments are attached; name one with --device, --serial or --port:" +
                        attached_lines(names);
        return choice;
    }
    const std::vector<int> found = matching(names, wanted);
    if (found.size() == 1) {
        choice.index = found.front();
    } else if (found.empty()) {
        choice.reason = wanted_text(wanted) + " found; attached: " + attached_list(names);
    } else {
        choice.ambiguous = true;
        choice.reason = std::to_string(found.size()) + " instruments fit " +
                        (!wanted.name.empty() ? "the name " + wanted.name + "; name one with --serial or --port:"
                                              : "the serial number " + wanted.serial +
                                                    "; name one with --device or --port:") +
                        attached_lines(names);
    }
    return choice;
}

std::vector<std::string> present_instrument_paths() {
    UsbBackend* backend = usb_installed_backend();
    Guid interface_class;
    std::vector<std::string> present;
    if (backend != nullptr && _parse_guid(INSTRUMENT_INTERFACE_GUID, &interface_class) == 0) {
        backend->list_interfaces(interface_class, present);
    }
    return present;
}

int unlisted_instrument_count() {
    int unlisted = 0;
    for (const std::string& path : present_instrument_paths()) {
        bool listed = false;
        for (int i = 0; i < listed_device_count() && !listed; ++i) {
            const UsbDevice* device = listed_device(i);
            listed = device->path != nullptr && path == device->path;
        }
        unlisted += listed ? 0 : 1;
    }
    return unlisted;
}

std::string unlisted_instruments_text(int count) {
    if (count <= 0) {
        return "";
    }
    return std::to_string(count) +
           (count == 1 ? " attached instrument" : " attached instruments") +
           " could not be opened (another program may hold it) or did not answer";
}

std::string instrument_names(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) {
        text += (text.empty() ? "" : ", ") + name;
    }
    return text.empty() ? "none" : text;
}
