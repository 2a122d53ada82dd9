// The command-line front end: the window's commands over the same core, with
// the log and the bars on a terminal, or JSON records for scripts.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>

#include "cli/cli_options.h"
#include "cli/exit_status.h"
#include "cli/instrument_listing.h"
#include "cli/item_recorder.h"
#include "cli/listing_commands.h"
#include "cli/stop_signals.h"
#include "cli/terminal_port.h"
#include "cli/verbose_backend.h"
#include "commands/device_commands.h"
#include "device/diagnostics.h"
#include "device/usb_trace.h"
#include "images/images.h"
#include "instruments/bare_controllers.h"
#include "instruments/device_list.h"
#include "resources/embedded_image_set.h"
#include "sequence/item_report.h"
#include "sequence/programming_worker.h"
#include "sim/simulated_bus.h"
#include "window/window_port.h"

#if defined(OMBRIX_HAVE_LIBUSB)
#include "device/libusb/libusb_backend.h"
#endif

#if defined(_WIN32)
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace {

// ---- the display ----

// A terminal that takes cursor movement: TERM=dumb does not. NO_COLOR only
// forbids colour, and the bars have none.
bool escape_codes_welcome(std::FILE* stream) {
    const char* term = std::getenv("TERM");
    return isatty(fileno(stream)) != 0 && !(term != nullptr && std::strcmp(term, "dumb") == 0);
}

// The bars go below the log when standard output is the terminal. With
// `program | tee log` only standard error is: the bars go there, and the log
// gets plain lines without escape codes or "progress:" lines, as the same
// run would write them to a file, the terminal showing the progress.
DisplaySettings display_settings(const CliOptions& options) {
    DisplaySettings settings;
    settings.quiet = options.quiet;
    settings.checks_only = options.command == CliCommand::verify;
    if (options.json) {
        settings.style = TerminalStyle::json;
    } else if (escape_codes_welcome(stdout)) {
        settings.style = TerminalStyle::interactive;
    } else if (escape_codes_welcome(stderr)) {
        settings.style = TerminalStyle::interactive;
        settings.bars_on = BarsStream::err;
    }
    return settings;
}

// The run's last record (JSON) or nothing more (text, where the table and the
// messages have said it).
struct RunEnd {
    explicit RunEnd(const ItemRecorder& recorded) : items(recorded) {}

    const ItemRecorder& items;  // what the worker found and did, item by item
    int exit_code = EXIT_DONE;
    bool worker_ran = false;
    std::string instrument;
};

void report_end(TerminalPort& port, const CliOptions& options, const RunEnd& end) {
    port.finish();
    const bool interrupted = end.exit_code == EXIT_INTERRUPTED;
    const RunReport report = end.items.report();
    if (!port.json()) {
        if (end.worker_ran) {
            const int columns = isatty(fileno(stdout)) != 0 ? terminal_columns(stdout) : TABLE_DEFAULT_COLUMNS;
            std::fputs(report.table_text(columns).c_str(), stdout);
            std::fflush(stdout);
        }
        return;
    }
    JsonRecord record("result");
    record.add("schema_version", JSON_SCHEMA_VERSION)
        .add("command", options.command_name)
        .add("exit_status", end.exit_code)
        .add("interrupted", interrupted);
    if (!end.instrument.empty()) {
        record.add("instrument", end.instrument);
    }
    if (end.worker_ran) {
        record.add_json("items", report.json_items());
    }
    std::printf("%s\n", record.text().c_str());
    std::fflush(stdout);
}

void announce_start(TerminalPort& port, const CliOptions& options) {
    if (port.json()) {
        std::printf("%s\n", JsonRecord("start")
                                .add("schema_version", JSON_SCHEMA_VERSION)
                                .add("program_version", PROGRAM_VERSION)
                                .add("command", options.command_name)
                                .text()
                                .c_str());
    }
}

// ---- the commands ----

// On a terminal, program and recover ask before they write to an instrument.
// what: "restart DEV7 and rewrite what is out of date on it".
int confirm_writing(const CliOptions& options, const std::string& what) {
    if (options.yes) {
        return EXIT_DONE;
    }
    if (isatty(fileno(stdin)) == 0) {
        std::fprintf(stderr,
                     "error: %s will %s; without a terminal to ask on, add --yes to go ahead.\n",
                     options.command_name.c_str(), what.c_str());
        return EXIT_USAGE;
    }
    std::fprintf(stderr,
                 "%s will %s.\n"
                 "Keep it connected and powered until the end. Go ahead? [y/N] ",
                 options.command_name.c_str(), what.c_str());
    std::fflush(stderr);
    std::string answer;
    std::getline(std::cin, answer);
    if (answer == "y" || answer == "Y" || answer == "yes" || answer == "YES" || answer == "Yes") {
        return EXIT_DONE;
    }
    std::fprintf(stderr, "Nothing was done.\n");
    return EXIT_RUN_FAILED;
}

// The bare controller --port names, or the only one attached; never another.
int run_recover(const CliOptions& options, TerminalPort& port, RunEnd& end) {
    const std::vector<std::string> bare = bare_controller_paths();
    std::string path = options.port;
    if (path.empty() && bare.size() == 1) {
        path = bare.front();
    } else if (path.empty() && bare.size() > 1) {
        port.error("Several bare USB controllers are attached (" + port_list(bare) +
                   "); name the one to recover with --port.");
        return EXIT_USAGE;
    }
    if (path.empty() || std::find(bare.begin(), bare.end(), path) == bare.end()) {
        port.error(bare.empty() ? "No bare USB controller found" + std::string(path.empty() ? "." : " at " + path + ".")
                                : "No bare USB controller at " + path + "; attached: " +
                                      port_list(bare) + ".");
        return EXIT_NO_INSTRUMENT;
    }
    end.instrument = path;
    const std::string what = "load the USB firmware into the controller at " + path +
                             " and rewrite what is out of date on the instrument it becomes";
    if (const int refused = confirm_writing(options, what); refused != EXIT_DONE) {
        return refused;
    }
    end.worker_ran = true;
    RunOutcome outcome;
    recover_command(path.c_str(), &outcome);
    worker_wait();
    return run_exit_status(options.command == CliCommand::verify, outcome);
}

int run_command(const CliOptions& options, TerminalPort& port, RunEnd& end) {
    if (options.command == CliCommand::versions) {
        return run_versions(port);
    }
    if (options.command == CliCommand::recover) {
        return run_recover(options, port, end);
    }
    device_list_refresh(nullptr);
    if (options.command == CliCommand::list) {
        return run_list(port);
    }
    const std::vector<std::string> names = port.devices();
    const int index = options.device.empty() ? port.device_combo_selection()
                                             : find_instrument(names, options.device);
    if (index < 0) {
        port.error(not_found_error(options.device.empty()
                                       ? "No instrument found"
                                       : "No instrument " + options.device +
                                             " found; attached: " + instrument_names(names)));
        return EXIT_NO_INSTRUMENT;
    }
    end.instrument = names[static_cast<std::size_t>(index)];
    if (options.command == CliCommand::halt || options.command == CliCommand::power_cycle) {
        bool sent = false;
        device_power_command(index, options.command == CliCommand::halt ? 1 : 0, &sent);
        return sent ? EXIT_DONE : EXIT_RUN_FAILED;
    }
    const ListedInstrument instrument = listed_instrument(index, end.instrument);
    if (port.json() || !options.quiet) {
        port.result("Instrument: " + instrument_line(instrument), instrument_record(instrument));
    }
    if (options.command == CliCommand::program) {
        const std::string what = "restart " + instrument.name + " and rewrite what is out of date on it";
        if (const int refused = confirm_writing(options, what); refused != EXIT_DONE) {
            return refused;
        }
    }
    end.worker_ran = true;
    const std::string path = listed_device(index)->path;
    RunOutcome outcome;
    program_command(index, options.command == CliCommand::program ? 1 : 0, &outcome);
    worker_wait();
    const int exit_code = run_exit_status(options.command == CliCommand::verify, outcome);
    // An earlier write of the USB firmware that was interrupted leaves the
    // controller without firmware: the restart brings it back bare.
    const std::vector<std::string> bare = bare_controller_paths();
    if (exit_code != EXIT_DONE && std::find(bare.begin(), bare.end(), path) != bare.end()) {
        port.error("The instrument came back from its restart as a USB controller without "
                   "firmware (its boot EEPROM holds no boot image). Bring it back with: " +
                   recover_command_line(path));
    }
    return exit_code;
}

// Runs the command on the given backend, through the trace and the verbose
// summary when asked.
int run_on_backend(const CliOptions& options, TerminalPort& port, UsbBackend& instruments,
                   RunEnd& end) {
    UsbBackend* backend = &instruments;
    std::unique_ptr<UsbTraceRecorder> trace;
    if (!options.trace_path.empty()) {
        errno = 0;
        trace = UsbTraceRecorder::create(options.trace_path, *backend);
        if (!trace) {
            const int reason = errno;
            port.error("Cannot write the trace file " + options.trace_path + ": " +
                       (reason != 0 ? std::strerror(reason) : "unknown reason"));
            return EXIT_RUN_FAILED;
        }
        backend = trace.get();
    }
    std::unique_ptr<VerboseBackend> verbose;
    if (options.verbose) {
        verbose = std::make_unique<VerboseBackend>(*backend, port);
        backend = verbose.get();
    }
    usb_install_backend(backend);
    // Standard output carries the results and the JSON records.
    usb_diagnostic_sink_install([](const char* line) { std::fprintf(stderr, "%s\n", line); });
    int exit_code = worker_stop_requested() ? EXIT_INTERRUPTED : run_command(options, port, end);
    if (worker_stop_requested()) {
        exit_code = EXIT_INTERRUPTED;
    }
    device_list_release();
    usb_diagnostic_sink_install(nullptr);
    usb_install_backend(nullptr);
    return exit_code;
}

// The attached instruments, reached through the platform's USB library.
int run_on_instruments(const CliOptions& options, TerminalPort& port, RunEnd& end) {
#if defined(OMBRIX_HAVE_LIBUSB)
    const std::optional<InstrumentUsbIds> ids =
        instrument_ids_from_boot_image(firmware_image(IMAGE_USB_FIRMWARE).bytes());
    LibusbBackend libusb(ids.value_or(InstrumentUsbIds{}));
    if (!ids || !libusb.usable()) {
        port.error("The USB library could not be initialised.");
        return EXIT_RUN_FAILED;
    }
    return run_on_backend(options, port, libusb, end);
#else
    (void)options;
    (void)end;
    port.error("This build reaches no instrument directly; run with --simulate.");
    return EXIT_RUN_FAILED;
#endif
}

// What --simulate's instrument holds. "bare": an outdated instrument whose
// boot EEPROM holds no boot image (an interrupted USB firmware write).
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

int run(const CliOptions& options, TerminalPort& port, RunEnd& end) {
    if (!startup_load_images(embedded_image_source(), port)) {
        return EXIT_RUN_FAILED;
    }
    if (options.command == CliCommand::versions) {
        return run_versions(port);
    }
    if (!options.simulate) {
        return run_on_instruments(options, port, end);
    }
    SimulatedBus bus(simulated_contents(*options.simulate), options.speed_up);
    clock_install(&bus.clock());
    const int exit_code = run_on_backend(options, port, bus.backend(), end);
    clock_install(nullptr);
    return exit_code;
}

// A usage error: on standard error, and with --json also as the records a
// script reads.
int usage_failure(const ParseResult& parsed) {
    std::fprintf(stderr, "ombrix-fwupdate: %s\n", parsed.error.c_str());
    if (parsed.json) {
        std::printf("%s\n%s\n",
                    JsonRecord("message").add("severity", "error").add("text", parsed.error).text().c_str(),
                    JsonRecord("result")
                        .add("schema_version", JSON_SCHEMA_VERSION)
                        .add("exit_status", parsed.exit_code)
                        .add("interrupted", false)
                        .text()
                        .c_str());
    }
    return parsed.exit_code;
}

}  // namespace

int main(int argc, char** argv) {
    CliOptions options;
    const ParseResult parsed = cli_parse(argc, argv, options);
    if (!parsed.run) {
        return parsed.error.empty() ? parsed.exit_code : usage_failure(parsed);
    }
    install_signal_handlers();
    TerminalPort port(display_settings(options), DisplayEnvironment{});
    ItemRecorder items([&port](const ItemEvent& event) { port.show_item(event); });
    announce_start(port, options);
    window_port_install(&port);
    item_observer_install(&items);
    RunEnd end(items);
    end.exit_code = run(options, port, end);
    item_observer_install(nullptr);
    window_port_install(nullptr);
    report_end(port, options, end);
    return end.exit_code;
}
