#pragma once
// How the command line shows a run and where it writes: the style and the
// streams that the window port and the parts it writes through share.
#include <chrono>
#include <cstdio>
#include <functional>

enum class TerminalStyle {
    plain,        // whole lines only, and a progress line at most every PLAIN_PROGRESS_INTERVAL
    interactive,  // lines and live progress bars (cursor movement, no colour)
    json,         // one JSON record per line
};

// The stream the interactive bars are drawn on.
enum class BarsStream {
    out,  // standard output is the terminal: the bars go below the log
    // Standard output goes elsewhere (`| tee log`) while standard error is the
    // terminal: the log keeps its plain lines, the bars go to the terminal.
    err,
};

struct DisplaySettings {
    TerminalStyle style = TerminalStyle::plain;
    bool quiet = false;  // only the result: no log lines, progress, notice or USB lines
    BarsStream bars_on = BarsStream::out;
    bool checks_only = false;  // a Verify run: the overall bar is the checks' alone
};

// Where the display writes and what it asks of the world; tests replace them.
struct DisplayEnvironment {
    std::FILE* out = stdout;
    std::FILE* err = stderr;
    std::function<int()> columns;  // the width of the terminal the bars are drawn on, now
    std::function<std::chrono::steady_clock::time_point()> now;
    // Told the errno of a line that did not reach standard output; may be empty.
    std::function<void(int)> output_failed;
};
