#pragma once
// The command-line program under test as a process of its own: its output,
// standard error and exit status, with a deadline after which it is killed
// and the case fails with what it wrote. Optionally on a pseudo-terminal of a
// given width, answering what it asks.
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

struct ProgramRun {
    int exit_code = -1;
    int signal = 0;  // the signal that ended the program, if one did
    std::string out;  // standard output (on a terminal: everything it showed)
    std::string err;
    bool hung = false;
};

struct ProgramRunOptions {
    // After each piece of output: may act on the running process (its pid),
    // given everything written so far to either stream.
    std::function<void(pid_t, const std::string&)> on_output;
    // False closes standard output's reading end at once, as a pager that quits does.
    bool keep_output = true;
    // Set in the program's environment ("NAME=value"); "NAME" alone removes it.
    // XDG_STATE_HOME is test_state_directory() unless set here.
    std::vector<std::string> environment;
    // On a pseudo-terminal this wide (0: pipes, and standard input from /dev/null).
    int terminal_columns = 0;
    // Written to the terminal once the output holds `answer_after`.
    std::string answer_after;
    std::string answer;
    std::chrono::steady_clock::duration deadline = std::chrono::minutes(3);
};

ProgramRun run_program(const char* program, const std::vector<std::string>& arguments,
                       const ProgramRunOptions& options = {});

// The XDG_STATE_HOME every run of the current test is given (its run history
// goes there, never to the user's home): a directory of the test's own, made
// as it first asks and removed as the test program ends.
std::string test_state_directory();

// What the documented schema finds wrong with a run history file: "" when
// each of its lines is a begin or an end line as the schema has them.
std::string history_schema_problems(const std::string& path);

// Exit status, signal, deadline and both streams, for a failed expectation.
std::string described(const ProgramRun& run);

inline bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The lines of a program's output, without their line ends.
std::vector<std::string> lines_of(const std::string& text);
