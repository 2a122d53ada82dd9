#include "cli/stop_signals.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/exit_status.h"
#include "sequence/stop_request.h"

#if defined(_WIN32)
#include <windows.h>

#include <atomic>
#include <io.h>
#include <thread>
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

#if defined(_WIN32)
// The console's control handler runs on a thread of its own, a new one for
// each event.
using StopFlag = std::atomic<int>;
// Ctrl+C and Ctrl+Break stop as SIGINT does; closing the console as the
// terminal's hangup (SIGHUP) does.
constexpr int CONSOLE_INTERRUPT = SIGINT;
constexpr int CONSOLE_CLOSED = 1;
#else
using StopFlag = volatile std::sig_atomic_t;
#endif

StopFlag signals_seen{0};
StopFlag first_signal{0};
StopFlag writing_began{0};
StopFlag asking{0};
StopFlag second_deferred{0};
StopFlag second_came{0};
char last_line[LAST_LINE_CAPACITY];
StopFlag last_line_split{0};  // where the exit status goes
StopFlag last_line_length{0};

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

// Counts a stop signal: 1 for the first.
int count_signal() {
#if defined(_WIN32)
    return signals_seen.fetch_add(1) + 1;
#else
    signals_seen = signals_seen + 1;
    return signals_seen;
#endif
}

#if defined(_WIN32)
// How long a stop keeps cancelling the question's read: until the reading
// thread has seen the stop, or this long (a read that begins after it is
// cancelled too).
constexpr int QUESTION_CANCEL_ATTEMPTS = 100;
constexpr DWORD QUESTION_CANCEL_PAUSE_MS = 10;

// Ends the question's read on the console: a stop that comes as Ctrl+Break,
// through the semaphore, or on a console that does not end a read at Ctrl+C
// by itself (Wine's) would leave it waiting for a line.
void cancel_question() {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    for (int attempt = 0; attempt < QUESTION_CANCEL_ATTEMPTS && asking != 0; ++attempt) {
        CancelIoEx(input, nullptr);
        Sleep(QUESTION_CANCEL_PAUSE_MS);
    }
}
#endif

extern "C" void on_stop_signal(int number) {
    const int seen = count_signal();
    if (seen == 1) {
        first_signal = number;
        worker_request_stop();
        if (asking == 0) {
            writing_began != 0 ? say(FIRST_SIGNAL_WRITING_TEXT) : say(FIRST_SIGNAL_TEXT);
        } else {
            // The question's read ends now even when the signal came just
            // before it began.
#if defined(_WIN32)
            cancel_question();
#else
            close(0);
#endif
        }
        return;
    }
    // A third one ends at once even when the waiting thread has not got to it.
    if (second_deferred != 0 && seen == 2) {
        second_came = 1;
        return;
    }
    end_at_once();
}

#if defined(_WIN32)
// Windows ends the process as soon as the handler of CTRL_CLOSE_EVENT returns,
// or when it has not returned after a few seconds (5 by default). The
// handler therefore never returns from it: the run stops at its next safe
// point, writes its end, and main's return ends the process with the run's
// status; a safe point farther away than Windows waits is not reached.
BOOL WINAPI on_console_event(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        on_stop_signal(CONSOLE_INTERRUPT);
        return TRUE;
    case CTRL_CLOSE_EVENT:
        if (signals_seen == 0) {
            on_stop_signal(CONSOLE_CLOSED);
        }
        Sleep(INFINITE);
        return TRUE;
    default:
        return FALSE;
    }
}

// A parent without a console (or under a console that cannot send
// Ctrl+Break) interrupts through the semaphore named after this process. The
// watching thread and its handle last as long as the process.
void watch_parent_interrupts() {
    const HANDLE semaphore =
        OpenSemaphoreW(SYNCHRONIZE, FALSE, stop_semaphore_name(GetCurrentProcessId()).c_str());
    if (semaphore == nullptr) {
        return;  // not started by a parent that has one
    }
    std::thread([semaphore] {
        while (WaitForSingleObject(semaphore, INFINITE) == WAIT_OBJECT_0) {
            on_stop_signal(CONSOLE_INTERRUPT);
        }
    }).detach();
}
#endif

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
    SetConsoleCtrlHandler(on_console_event, TRUE);
    watch_parent_interrupts();
#else
    install(true);
    std::signal(SIGPIPE, SIG_IGN);
#endif
}

#if defined(_WIN32)
std::wstring stop_semaphore_name(unsigned long process_id) {
    return L"Local\\ombrix-fwupdate-stop-" + std::to_wstring(process_id);
}
#endif

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

#if defined(_WIN32)
namespace {

// A console that ends the read at Ctrl+C by itself may do so before the
// handler's thread has asked for the stop: how long the reading thread waits
// for it before it reads on.
constexpr int ABORTED_READ_WAITS = 50;
constexpr DWORD ABORTED_READ_PAUSE_MS = 20;

// The answer, up to the end of its line or of the input, or until a stop.
std::string read_console_line() {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    std::string line;
    char c = 0;
    while (!worker_stop_requested()) {
        DWORD got = 0;
        SetLastError(ERROR_SUCCESS);
        if (ReadFile(input, &c, 1, &got, nullptr) && got == 1) {
            if (c == '\n') {
                break;
            }
            if (c != '\r') {
                line += c;
            }
            continue;
        }
        if (GetLastError() != ERROR_OPERATION_ABORTED) {
            break;  // the end of the input
        }
        for (int wait = 0; wait < ABORTED_READ_WAITS && !worker_stop_requested(); ++wait) {
            Sleep(ABORTED_READ_PAUSE_MS);
        }
    }
    return line;
}

}  // namespace
#endif

std::optional<std::string> ask_line(const std::string& question) {
    std::string line;
    asking = 1;
    std::fputs(question.c_str(), stderr);
    std::fflush(stderr);
#if defined(_WIN32)
    line = read_console_line();
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
