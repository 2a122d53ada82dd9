// The commands that only read: versions and list, and the errors that say
// what is attached when the instrument asked for is not.
#include "cli/listing_commands.h"

#include "cli/exit_status.h"
#include "cli/instrument_backend.h"
#include "cli/instrument_listing.h"
#include "cli/json_record.h"
#include "cli/run_report.h"
#include "images/images.h"
#include "instruments/bare_controllers.h"
#include "sequence/item_table.h"

#include <cstdio>
#include <vector>

#if !defined(OMBRIX_IMAGE_SET_SOURCE)
#define OMBRIX_IMAGE_SET_SOURCE "unknown"
#endif

namespace {

// "  power supply B           250611": each item the program carries, with
// the revision it would install ("-" for an item that has none), and the
// same as the versions record's items.
std::string item_revision_lines() {
    std::string text;
    for (const ItemRow& row : item_table()) {
        const std::string revision = printable(available_revision(row));
        char line[96];
        std::snprintf(line, sizeof line, "\n  %-24s %s", row.name, revision.empty() ? "-" : revision.c_str());
        text += line;
    }
    return text;
}

std::string item_revision_json() {
    std::vector<std::string> items;
    for (const ItemRow& row : item_table()) {
        const std::string revision = printable(available_revision(row));
        items.push_back("{\"item\":" + json_string(json_identifier(row.name)) + ",\"available\":" +
                        (revision.empty() ? "null" : json_string(revision)) + "}");
    }
    return json_array(items);
}

std::string supply_revision(WorkItem item) {
    return printable(available_revision(*item_row(item_table(), item)));
}

}  // namespace

int run_versions(TerminalPort& port) {
    const AvailableVersions versions = available_versions();
    const std::string fpga = std::to_string(versions.fpga_revision);
    const std::string firmware = std::to_string(versions.firmware_revision);
    const std::string power_a = supply_revision(WorkItem::power_supply_a);
    const std::string power_b = supply_revision(WorkItem::power_supply_b);
    port.result("FPGA rev:      " + fpga + "\nFirmware rev:  " + firmware +
                    "\nUSB rev:       " + versions.usb_revision + "\nPower rev A:   " + power_a +
                    "\nPower rev B:   " + power_b + "\nImage set:     " + OMBRIX_IMAGE_SET_SOURCE +
                    "\nItems:" + item_revision_lines(),
                JsonRecord("versions")
                    .add("fpga", fpga)
                    .add("firmware", firmware)
                    .add("usb", versions.usb_revision)
                    .add("power", printable(versions.power_revision))
                    .add("power_a", power_a)
                    .add("power_b", power_b)
                    .add("image_set", OMBRIX_IMAGE_SET_SOURCE)
                    .add_json("items", item_revision_json()));
    return EXIT_DONE;
}

// Bare controllers attached, and how to bring one back: " A USB controller
// without firmware is attached at usb:1-2 (...): ombrix-fwupdate recover ...".
std::string bare_controllers_hint() {
    std::string hint;
    for (const std::string& path : bare_controller_paths()) {
        hint += " A USB controller without firmware is attached at " + printable(path) +
                "; bring it back with: " + recover_command_line(path);
    }
    return hint;
}

// An error that no instrument was found, with the instruments present that
// the list left out: "No instrument found; 1 attached instrument could not be
// opened (...) or did not answer."; with none present at all, what the
// platform needs to see one.
std::string not_found_error(const std::string& text) {
    const std::string unlisted = unlisted_instruments_text(unlisted_instrument_count());
    const std::string driver = present_instrument_paths().empty() ? missing_interface_hint() : "";
    return text + (unlisted.empty() ? "" : "; " + unlisted) + "." + bare_controllers_hint() + driver;
}

int run_list(TerminalPort& port) {
    const std::vector<ListedInstrument> instruments = listed_instruments(port.devices());
    for (const ListedInstrument& instrument : instruments) {
        port.result(instrument_line(instrument), instrument_record(instrument));
    }
    // A bare controller is listed on its own line: it may be an instrument
    // whose USB firmware write was interrupted (or another product's chip).
    const std::vector<std::string> bare = bare_controller_paths();
    for (const std::string& path : bare) {
        port.result(bare_controller_line(path), bare_controller_record(path));
    }
    if (instruments.empty() && !bare.empty()) {
        return EXIT_DONE;
    }
    if (instruments.empty()) {
        port.error(not_found_error("No instrument found"));
        return EXIT_NO_INSTRUMENT;
    }
    // A list that leaves an instrument out says so.
    const std::string unlisted = unlisted_instruments_text(unlisted_instrument_count());
    if (!unlisted.empty()) {
        port.message_box(("Not listed: " + unlisted + ".").c_str(), MessageIcon::warning);
    }
    return EXIT_DONE;
}
