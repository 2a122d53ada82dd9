#include "cli/stop_signals.h"

#include <csignal>
#include <cstdlib>

#include "cli/exit_status.h"
#include "sequence/stop_request.h"

#if defined(_WIN32)
#include <io.h>
#define write _write
#else
#include <unistd.h>
#endif

namespace {

// The first SIGINT, SIGTERM or SIGHUP asks the worker to stop where the next
// run repairs (no write is cut in half); the run then ends with exit status
// 130. A second one ends the program at once. SIGPIPE is ignored: a closed
// output only ends the output, never a write to the instrument.

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

}  // namespace

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

