#include "cli/stop_signals.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "cli/exit_status.h"
#include "sequence/stop_request.h"

#if defined(_WIN32)
#include <io.h>
#define write _write
#else
#include <cerrno>
#include <unistd.h>
#endif

namespace {

constexpr char FIRST_SIGNAL_WRITING_TEXT[] =
    "Stopping at the next point that a later run repairs; interrupt again to end at once "
    "(the instrument may then be left unusable).\n";
constexpr char FIRST_SIGNAL_TEXT[] =
    "Stopping; nothing has been written to the instrument. Interrupt again to end at once.\n";
constexpr char SECOND_SIGNAL_WRITING_TEXT[] =
    "Ended at once: the instrument may be left unusable. Run program again before using "
    "it.\n";
constexpr char SECOND_SIGNAL_TEXT[] = "Ended at once; nothing had been written to the instrument.\n";

constexpr std::size_t LAST_LINE_CAPACITY = 2048;

volatile std::sig_atomic_t signals_seen = 0;
volatile std::sig_atomic_t first_signal = 0;
volatile std::sig_atomic_t writing_began = 0;
volatile std::sig_atomic_t asking = 0;
volatile std::sig_atomic_t second_deferred = 0;
volatile std::sig_atomic_t second_came = 0;
char last_line[LAST_LINE_CAPACITY];
volatile std::sig_atomic_t last_line_split = 0;  // where the exit status goes
volatile std::sig_atomic_t last_line_length = 0;

// The decimal digits of a status of 0 to 255.
std::size_t status_digits(int status, char* digits) {
    std::size_t count = 0;
    if (status >= 100) {
        digits[count++] = static_cast<char>('0' + status / 100);
    }
    if (status >= 10) {
        digits[count++] = static_cast<char>('0' + status / 10 % 10);
    }
    digits[count++] = static_cast<char>('0' + status % 10);
    return count;
}

void write_all(int fd, const char* text, std::size_t length) {
    // Async-signal-safe; what does not get through is lost.
    while (length > 0) {
        const auto written = write(fd, text, static_cast<unsigned>(length));
        if (written <= 0) {
            return;
        }
        text += written;
        length -= static_cast<std::size_t>(written);
    }
}

template <std::size_t N>
void say(const char (&text)[N]) {
    write_all(2, text, N - 1);
}

int status_of_first_signal() {
    return first_signal != 0 ? 128 + first_signal : EXIT_INTERRUPTED;
}

extern "C" void on_stop_signal(int number) {
    signals_seen = signals_seen + 1;
    if (signals_seen == 1) {
        first_signal = number;
        worker_request_stop();
        if (asking == 0) {
            writing_began != 0 ? say(FIRST_SIGNAL_WRITING_TEXT) : say(FIRST_SIGNAL_TEXT);
        }
#if !defined(_WIN32)
        else {
            // The question's read ends now even when the signal came just
            // before it began.
            close(0);
        }
#endif
        return;
    }
    // A third one ends at once even when the waiting thread has not got to it.
    if (second_deferred != 0 && signals_seen == 2) {
        second_came = 1;
        return;
    }
    end_at_once();
}

#if !defined(_WIN32)
// SA_RESTART off while asking: the read returns when a signal comes.
void install(bool restart_reads) {
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = restart_reads ? SA_RESTART : 0;
    for (const int number : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(number, &action, nullptr);
    }
}
#endif

}  // namespace

void install_signal_handlers() {
#if defined(_WIN32)
    for (const int number : {SIGINT, SIGTERM, SIGBREAK}) {
        std::signal(number, on_stop_signal);
    }
#else
    install(true);
    std::signal(SIGPIPE, SIG_IGN);
#endif
}

int stop_signal_exit_status() {
    return signals_seen != 0 ? status_of_first_signal() : 0;
}

void stop_signals_writing_began() {
    writing_began = 1;
}

void stop_signals_set_last_line(const std::string& before_status, const std::string& after_status) {
    last_line_length = 0;
    if (before_status.size() + after_status.size() >= LAST_LINE_CAPACITY) {
        return;
    }
    std::memcpy(last_line, before_status.data(), before_status.size());
    std::memcpy(last_line + before_status.size(), after_status.data(), after_status.size());
    last_line[before_status.size() + after_status.size()] = '\n';
    last_line_split = static_cast<std::sig_atomic_t>(before_status.size());
    last_line_length = static_cast<std::sig_atomic_t>(before_status.size() + after_status.size() + 1);
}

SecondSignalDeferred::SecondSignalDeferred() {
    second_deferred = 1;
}

SecondSignalDeferred::~SecondSignalDeferred() {
    second_deferred = 0;
    if (second_came != 0) {
        end_at_once();
    }
}

bool second_signal_came() {
    return second_came != 0;
}

void second_signal_handled() {
    second_came = 0;
}

void end_at_once() {
    writing_began != 0 ? say(SECOND_SIGNAL_WRITING_TEXT) : say(SECOND_SIGNAL_TEXT);
    const int status = status_of_first_signal();
    if (last_line_length > 0) {
        char digits[3];
        const auto split = static_cast<std::size_t>(last_line_split);
        write_all(1, last_line, split);
        write_all(1, digits, status_digits(status, digits));
        write_all(1, last_line + split, static_cast<std::size_t>(last_line_length) - split);
    }
    std::_Exit(status);
}

std::optional<std::string> ask_line(const std::string& question) {
    std::string line;
    asking = 1;
    std::fputs(question.c_str(), stderr);
    std::fflush(stderr);
#if defined(_WIN32)
    std::getline(std::cin, line);
#else
    install(false);
    char c = 0;
    while (!worker_stop_requested()) {
        const auto got = read(0, &c, 1);
        if (got == 1 && c != '\n') {
            line += c;
            continue;
        }
        if (got < 0 && errno == EINTR) {
            continue;  // a stop ends the loop; another signal does not
        }
        break;
    }
    install(true);
#endif
    asking = 0;
    if (worker_stop_requested()) {
        return std::nullopt;
    }
    return line;
}
