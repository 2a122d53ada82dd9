#pragma once
// Stop signals. The first SIGINT, SIGTERM or SIGHUP asks the worker to stop
// where the next run repairs (no write is cut in half; a check ends at its
// next read); the run then ends with 128 + the signal's number. A second one
// ends the program at once. SIGPIPE is ignored: a closed output only ends the
// output, never a write to the instrument.
// On Windows the console's control events: Ctrl+C and Ctrl+Break stop as
// SIGINT does (130); closing the console stops the run as SIGHUP does (129),
// its handler holding the process until the run has ended, as long as
// Windows waits (a few seconds).
#include <optional>
#include <string>

// On Windows also watches the semaphore named after this process, through
// which a parent that cannot send it Ctrl+Break interrupts it.
void install_signal_handlers();

#if defined(_WIN32)
// That semaphore's name for the process of that id: each release is one
// interrupt, as one Ctrl+Break is.
std::wstring stop_semaphore_name(unsigned long process_id);
#endif

// 128 + the number of the first stop signal (SIGINT 130, SIGTERM 143, SIGHUP
// 129); 0 while none has come.
int stop_signal_exit_status();

// Writing to the instrument has begun: from now on the signals' warnings say
// that ending at once may leave it unusable.
void stop_signals_writing_began();

// The line a second signal writes to standard output as the program ends (the
// JSON result), in two parts with the exit status between them; empty: none.
// Set from the main thread.
void stop_signals_set_last_line(const std::string& before_status, const std::string& after_status);

// While it lives (on the thread that waits for the worker), a second signal
// only marks that it came; the waiting thread then ends the program between
// two lines of output with end_at_once().
class SecondSignalDeferred {
public:
    SecondSignalDeferred();
    ~SecondSignalDeferred();
    SecondSignalDeferred(const SecondSignalDeferred&) = delete;
    SecondSignalDeferred& operator=(const SecondSignalDeferred&) = delete;
};
bool second_signal_came();
// The waiting thread has dealt with the second signal itself (it passed it on
// to the children that run the instruments): the program goes on to its end,
// and a third signal ends it at once.
void second_signal_handled();
// What a second signal does: its warning on standard error, the last line on
// standard output, then the end with the first signal's status.
[[noreturn]] void end_at_once();

// Asks the question on standard error and reads the answer from standard
// input. A stop signal ends the question at once: nullopt, and the signal says
// nothing on the terminal.
std::optional<std::string> ask_line(const std::string& question);
