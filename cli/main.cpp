// The command-line front end: the window's commands over the same core, with
// the log and the bars on a terminal.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "window/window_port.h"
#include "cli/cli_options.h"
#include "sim/simulated_bus.h"
#include "cli/terminal_port.h"
#include "commands/device_commands.h"
#include "instruments/device_list.h"
#include "sequence/programming_worker.h"
#include "images/images.h"
#include "device/usb_trace.h"
#include "resources/embedded_image_set.h"

#if defined(OMBRIX_HAVE_LIBUSB)
#include "device/libusb/libusb_backend.h"
#endif

#if defined(_WIN32)
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#define write _write
#else
#include <unistd.h>
#endif

namespace {

// ---- interruption ----
//
// The first SIGINT, SIGTERM or SIGHUP asks the worker to stop where the next
// run repairs (no write is cut in half); the run then ends with exit status
// 130. A second one ends the program at once. SIGPIPE is ignored: a closed
// output only ends the output, never a write to the instrument.

constexpr int EXIT_INTERRUPTED = 130;
constexpr char FIRST_SIGNAL_TEXT[] =
    "Stopping at the next point that a later run repairs; interrupt again to end at once "
    "(the instrument may then be left unusable).\n";
constexpr char SECOND_SIGNAL_TEXT[] =
    "Ended at once: the instrument may be left unusable. Run program again before using "
    "it.\n";

volatile std::sig_atomic_t signals_seen = 0;

void write_to_stderr(const char* text, std::size_t length) {
    // Async-signal-safe; what does not get through is lost.
    [[maybe_unused]] const auto written = write(2, text, static_cast<unsigned>(length));
}

extern "C" void on_stop_signal(int) {
    signals_seen = signals_seen + 1;
    if (signals_seen == 1) {
        worker_request_stop();
        write_to_stderr(FIRST_SIGNAL_TEXT, sizeof FIRST_SIGNAL_TEXT - 1);
        return;
    }
    write_to_stderr(SECOND_SIGNAL_TEXT, sizeof SECOND_SIGNAL_TEXT - 1);
    std::_Exit(EXIT_INTERRUPTED);
}

void install_signal_handlers() {
#if defined(_WIN32)
    for (const int number : {SIGINT, SIGTERM, SIGBREAK}) {
        std::signal(number, on_stop_signal);
    }
#else
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int number : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(number, &action, nullptr);
    }
    std::signal(SIGPIPE, SIG_IGN);
#endif
}

sim::Contents simulated_contents(const std::string& name) {
    if (name == "current") {
        return sim::Contents::current;
    }
    return name == "blank" ? sim::Contents::blank : sim::Contents::older;
}

TerminalStyle terminal_style(const CliOptions& options) {
    if (options.json) {
        return TerminalStyle::json;
    }
    return isatty(fileno(stdout)) != 0 ? TerminalStyle::interactive : TerminalStyle::plain;
}

// The combo-box position of the instrument asked for, or -1.
int select_device(TerminalPort& port, const std::string& device) {
    if (device.empty()) {
        return port.device_combo_selection();
    }
    const std::vector<std::string> devices = port.devices();
    for (std::size_t i = 0; i < devices.size(); ++i) {
        if (devices[i] == device) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

int run_list(TerminalPort& port) {
    const std::vector<std::string> devices = port.devices();
    for (const std::string& device : devices) {
        std::printf("%s\n", device.c_str());
    }
    if (devices.empty()) {
        std::fprintf(stderr, "No instrument found.\n");
        return EXIT_WARNING_OR_ERROR;
    }
    return EXIT_SUCCESS_SUMMARY;
}

int run_command(const CliOptions& options, TerminalPort& port) {
    device_list_refresh(nullptr);
    if (options.command == CliCommand::list) {
        return run_list(port);
    }
    const int index = select_device(port, options.device);
    if (index < 0) {
        port.message_box(options.device.empty()
                             ? "No instrument found."
                             : ("No instrument " + options.device + " found.").c_str(),
                         MessageIcon::error);
        return EXIT_WARNING_OR_ERROR;
    }
    switch (options.command) {
        case CliCommand::halt:
        case CliCommand::power_cycle:
            device_power_command(index, options.command == CliCommand::halt ? 1 : 0);
            return port.shown_warning_or_error() ? EXIT_WARNING_OR_ERROR : EXIT_SUCCESS_SUMMARY;
        default:
            program_command(index, options.command == CliCommand::program ? 1 : 0);
            worker_wait();
            // Success is the run's information summary; an upload failure
            // shows no message at all and is a failure too.
            return port.shown_information() && !port.shown_warning_or_error()
                       ? EXIT_SUCCESS_SUMMARY
                       : EXIT_WARNING_OR_ERROR;
    }
}

// Runs the command on the given backend, recording a trace when asked.
int run_on_backend(const CliOptions& options, TerminalPort& port, UsbBackend& instruments) {
    UsbBackend* backend = &instruments;
    std::unique_ptr<UsbTraceRecorder> trace;
    if (!options.trace_path.empty()) {
        trace = UsbTraceRecorder::create(options.trace_path, *backend);
        if (!trace) {
            port.message_box(("Cannot write the trace file " + options.trace_path).c_str(),
                             MessageIcon::error);
            return EXIT_WARNING_OR_ERROR;
        }
        backend = trace.get();
    }
    usb_install_backend(backend);
    const bool interrupted_before = worker_stop_requested();
    int exit_code = interrupted_before ? EXIT_INTERRUPTED : run_command(options, port);
    const bool interrupted = worker_stop_requested();
    if (interrupted) {
        exit_code = EXIT_INTERRUPTED;
    }
    port.finish(exit_code, interrupted);
    device_list_release();
    usb_install_backend(nullptr);
    return exit_code;
}

// The attached instruments, reached through the platform's USB library.
int run_on_instruments(const CliOptions& options, TerminalPort& port) {
#if defined(OMBRIX_HAVE_LIBUSB)
    const std::optional<InstrumentUsbIds> ids =
        instrument_ids_from_boot_image(firmware_image(IMAGE_USB_FIRMWARE).bytes());
    LibusbBackend libusb(ids.value_or(InstrumentUsbIds{}));
    if (!ids || !libusb.usable()) {
        port.message_box("The USB library could not be initialised.", MessageIcon::error);
        return EXIT_WARNING_OR_ERROR;
    }
    return run_on_backend(options, port, libusb);
#else
    (void)options;
    port.message_box("This build reaches no instrument directly; run with --simulate.",
                     MessageIcon::error);
    return EXIT_WARNING_OR_ERROR;
#endif
}

}  // namespace

int main(int argc, char** argv) {
    CliOptions options;
    if (const std::optional<int> exit_code = cli_parse(argc, argv, options)) {
        return *exit_code;
    }
    install_signal_handlers();
    TerminalPort port(stdout, terminal_style(options));
    if (!startup_load_images(embedded_image_source(), port)) {
        return EXIT_WARNING_OR_ERROR;
    }
    window_port_install(&port);

    if (!options.simulate) {
        const int exit_code = run_on_instruments(options, port);
        window_port_install(nullptr);
        return exit_code;
    }
    SimulatedBus bus(simulated_contents(*options.simulate), options.speed_up);
    clock_install(&bus.clock());
    const int exit_code = run_on_backend(options, port, bus.backend());
    clock_install(nullptr);
    window_port_install(nullptr);
    return exit_code;
}
