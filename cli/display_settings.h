#pragma once
// How the command line shows a run and where it writes: the style and the
// streams that the window port and the parts it writes through share.
#include <chrono>
#include <cstdio>
#include <functional>

enum class TerminalStyle {
    plain,        // whole lines only, and a progress line at most every PLAIN_PROGRESS_INTERVAL
    interactive,  // lines and live progress bars (escape codes)
    json,         // one JSON record per line
};

struct DisplaySettings {
    TerminalStyle style = TerminalStyle::plain;
    bool quiet = false;  // only the result: no log lines, progress, notice or USB lines
};

// Where the display writes and what it asks of the world; tests replace them.
struct DisplayEnvironment {
    std::FILE* out = stdout;
    std::FILE* err = stderr;
    std::function<int()> columns;  // the terminal's width now
    std::function<std::chrono::steady_clock::time_point()> now;
};
