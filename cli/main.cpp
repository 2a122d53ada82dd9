// The command-line front end: the window's commands over the same core, with
// the log and the bars on a terminal, or JSON records for scripts.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include "cli/all_instruments.h"
#include "cli/cli_options.h"
#include "cli/exit_status.h"
#include "cli/history_command.h"
#include "cli/instrument_backend.h"
#include "cli/instrument_listing.h"
#include "cli/item_recorder.h"
#include "cli/listing_commands.h"
#include "cli/output_watch.h"
#include "cli/run_end.h"
#include "cli/simulation_setup.h"
#include "cli/stop_signals.h"
#include "cli/terminal_bars.h"
#include "cli/terminal_port.h"
#include "cli/verbose_backend.h"
#include "cli/write_notice.h"
#include "commands/device_commands.h"
#include "device/diagnostics.h"
#include "device/forwarding_backend.h"
#include "device/usb_trace.h"
#include "images/images.h"
#include "instruments/bare_controllers.h"
#include "instruments/device_list.h"
#include "resources/embedded_image_set.h"
#include "sequence/item_report.h"
#include "sequence/programming_worker.h"
#include "window/window_port.h"

namespace {

// Lists only the interface at one port, once it has been there.
class PortOnlyBackend final : public ForwardingUsbBackend {
public:
    PortOnlyBackend(UsbBackend& inner, std::string port) : ForwardingUsbBackend(inner), port_(std::move(port)) {}

    void list_interfaces(const Guid& interface_class, std::vector<std::string>& paths) override {
        std::vector<std::string> all;
        ForwardingUsbBackend::list_interfaces(interface_class, all);
        if (std::find(all.begin(), all.end(), port_) != all.end()) {
            seen_ = true;
            paths.push_back(port_);
        } else if (!seen_) {
            // Never there: all of them, so that the error lists what is
            // attached. Once seen, never another (not while it restarts).
            paths.insert(paths.end(), all.begin(), all.end());
        }
    }

private:
    std::string port_;
    bool seen_ = false;
};

// ---- the display ----

// A terminal that takes cursor movement: TERM=dumb does not. NO_COLOR only
// forbids colour, and the bars have none.
bool escape_codes_welcome(std::FILE* stream) {
    const char* term = std::getenv("TERM");
    return !(term != nullptr && std::strcmp(term, "dumb") == 0) && terminal_takes_escape_codes(stream);
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

// ---- the commands ----

// On a terminal, program and recover ask before they write to an instrument.
// what: "restart DEV7 and rewrite what is out of date on it". A stop signal
// while asking ends the command at once, with nothing done.
int confirm_writing(const CliOptions& options, TerminalPort& port, const std::string& what) {
    if (options.yes) {
        return EXIT_DONE;
    }
    if (!is_terminal(stdin)) {
        port.error(options.command_name + " will " + what +
                   "; without a terminal to ask on, add --yes to go ahead.");
        return EXIT_USAGE;
    }
    const std::optional<std::string> answer =
        ask_line(options.command_name + " will " + what +
                 ".\nKeep it connected and powered until the end. Go ahead? [y/N] ");
    if (answer && (*answer == "y" || *answer == "Y" || *answer == "yes" || *answer == "YES" ||
                   *answer == "Yes")) {
        return EXIT_DONE;
    }
    std::fprintf(stderr, "%sNothing was done.\n", answer ? "" : "\n");
    return answer ? EXIT_RUN_FAILED : stop_signal_exit_status();
}

// Waits for the worker. A second signal meanwhile ends the program here,
// between two lines of output, with the result as it stands; a write error
// asks the run to stop at its next safe point.
void wait_for_worker(TerminalPort& port, const CliOptions& options, RunEnd& end) {
    {
        SecondSignalDeferred deferred;
        while (worker_busy()) {
            if (second_signal_came()) {
                port.run_alone([&] {
                    prepare_end_at_once(port, options, end);
                    end_at_once();
                });
            }
            end.output.check();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    worker_wait();
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
        const std::string reach = options.simulate ? "" : bare_controller_reach_hint();
        port.error(bare.empty() ? "No bare USB controller found" +
                                      std::string(path.empty() ? "." : " at " + path + ".") + reach
                                : "No bare USB controller at " + path + "; attached: " +
                                      port_list(bare) + ".");
        return EXIT_NO_INSTRUMENT;
    }
    end.instrument = path;
    const std::string what = "load the USB firmware into the controller at " + path +
                             " and rewrite what is out of date on the instrument it becomes";
    if (const int refused = confirm_writing(options, port, what); refused != EXIT_DONE) {
        return refused;
    }
    if (!history_begin(port, end, {"", "", path})) {
        return EXIT_RUN_FAILED;
    }
    end.worker_ran = true;
    prepare_end_at_once(port, options, end);
    RunOutcome outcome;
    recover_command(path.c_str(), &outcome);
    wait_for_worker(port, options, end);
    return run_exit_status(options.command == CliCommand::verify, outcome);
}

// The instrument the options name, or the only one attached. With several
// attached and none named, none is taken: a script whose name is missing must
// not reach whichever instrument the bus lists first. -1 with the exit status
// in refusal otherwise.
int chosen_instrument(const CliOptions& options, TerminalPort& port, int& refusal) {
    const std::vector<std::string> names = port.devices();
    const InstrumentChoice choice = choose_instrument(names, {options.device, options.serial, options.port});
    if (choice.index >= 0) {
        return choice.index;
    }
    if (choice.ambiguous) {
        refusal = EXIT_USAGE;
        port.error(choice.reason);
    } else {
        refusal = EXIT_NO_INSTRUMENT;
        port.error(not_found_error(choice.reason));
    }
    return -1;
}

int run_command(const CliOptions& options, TerminalPort& port, RunEnd& end) {
    if (options.command == CliCommand::recover) {
        return run_recover(options, port, end);
    }
    device_list_refresh(nullptr);
    if (options.command == CliCommand::list) {
        return run_list(port);
    }
    if (options.all) {
        const std::vector<ListedInstrument> instruments = listed_instruments(port.devices());
        device_list_release();  // each child opens its own
        return run_all_instruments(options, instruments, port, end, [&](const std::string& what) {
            return confirm_writing(options, port, what);
        });
    }
    int refusal = EXIT_DONE;
    const int index = chosen_instrument(options, port, refusal);
    if (index < 0) {
        return refusal;
    }
    end.instrument = port.devices()[static_cast<std::size_t>(index)];
    prepare_end_at_once(port, options, end);
    if (worker_stop_requested()) {
        return EXIT_INTERRUPTED;
    }
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
        if (const int refused = confirm_writing(options, port, what); refused != EXIT_DONE) {
            return refused;
        }
    }
    // A stop asked for by now ends the command before the restart.
    if (worker_stop_requested()) {
        return EXIT_INTERRUPTED;
    }
    if (!history_begin(port, end, {instrument.name, instrument.serial, instrument.port})) {
        return EXIT_RUN_FAILED;
    }
    end.worker_ran = true;
    const std::string path = listed_device(index)->path;
    RunOutcome outcome;
    program_command(index, options.command == CliCommand::program ? 1 : 0, &outcome);
    wait_for_worker(port, options, end);
    prepare_end_at_once(port, options, end);
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
        end.output.watch_trace(trace.get(), options.trace_path);
    }
    // An instrument named by its port is the only one opened: a run beside
    // others (one process per instrument) never waits for their instruments.
    std::unique_ptr<PortOnlyBackend> port_only;
    if (!options.port.empty() && options.command != CliCommand::recover) {
        port_only = std::make_unique<PortOnlyBackend>(*backend, options.port);
        backend = port_only.get();
    }
    std::unique_ptr<VerboseBackend> verbose;
    if (options.verbose) {
        verbose = std::make_unique<VerboseBackend>(*backend, port);
        backend = verbose.get();
    }
    usb_install_backend(backend);
    // Standard output carries the results and the JSON records.
    usb_diagnostic_sink_install([](const char* line) { std::fprintf(stderr, "%s\n", line); });
    const int exit_code = worker_stop_requested() ? EXIT_INTERRUPTED : run_command(options, port, end);
    device_list_release();
    usb_diagnostic_sink_install(nullptr);
    usb_install_backend(nullptr);
    end.output.watch_trace(nullptr, "");
    return exit_code;
}

int run(const CliOptions& options, TerminalPort& port, RunEnd& end) {
    if (options.command == CliCommand::history) {
        return run_history(options, port);
    }
    if (!startup_load_images(embedded_image_source(), port)) {
        return EXIT_RUN_FAILED;
    }
    if (options.command == CliCommand::versions) {
        return run_versions(port);
    }
    if (!options.simulate) {
        return with_instrument_backend(
            port, [&](UsbBackend& instruments) { return run_on_backend(options, port, instruments, end); });
    }
    const std::unique_ptr<SimulatedBus> bus = simulated_bus(options);
    clock_install(&bus->clock());
    const int exit_code = run_on_backend(options, port, bus->backend(), end);
    clock_install(nullptr);
    return exit_code;
}

}  // namespace

int main(int argc, char** argv) {
    CliOptions options;
    const ParseResult parsed = cli_parse(argc, argv, options);
    if (!parsed.run) {
        return parsed.error.empty() ? parsed.exit_code : usage_failure(parsed);
    }
    install_signal_handlers();
    OutputWatch output;
    DisplayEnvironment environment;
    environment.output_failed = [&output](int error_number) { output.output_failed(error_number); };
    TerminalPort port(display_settings(options), environment);
    WriteNotice writing;
    ItemRecorder items([&port, &writing](const ItemEvent& event) {
        if (writing.due(event)) {
            stop_signals_writing_began();
        }
        port.show_item(event);
    });
    announce_start(port, options);
    window_port_install(&port);
    item_observer_install(&items);
    RunEnd end(items, output);
    RunHistory history(options);
    end.history = &history;
    prepare_end_at_once(port, options, end);
    const int run_status = run(options, port, end);
    item_observer_install(nullptr);
    window_port_install(nullptr);
    const bool failed_before_the_end = end.output.check();
    end.exit_code = final_exit_status(run_status, end.output);
    history_end(port, end);
    report_write_failure(port, end.output);
    report_end(port, options, end);
    // The table or the result itself may be what did not get through.
    if (!failed_before_the_end && end.output.check()) {
        std::fprintf(stderr, "error: %s\n", end.output.failure().c_str());
        return final_exit_status(run_status, end.output);
    }
    return end.exit_code;
}
