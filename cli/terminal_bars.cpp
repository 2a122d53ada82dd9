#include "cli/terminal_bars.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "window/window_port.h"

#if !defined(_WIN32)
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace {

constexpr auto REDRAW_INTERVAL = std::chrono::milliseconds(100);
// An estimate means something only once this much of the run is behind it.
constexpr int ETA_MIN_PERCENT = 5;
constexpr auto ETA_MIN_ELAPSED = std::chrono::seconds(10);

int percent_of(std::uint32_t position) {
    return static_cast<int>(std::min<std::uint32_t>(position, PROGRESS_FULL) * 100 / PROGRESS_FULL);
}

// "name [####....] 45%" in exactly `width` columns (at least the name and the figure).
std::string bar_line(const char* name, int percent, const std::string& tail, int width) {
    std::string figure = "] ";
    figure += std::to_string(percent);
    figure += '%';
    figure += tail;
    std::string line = name;
    line += " [";
    const int room = width - static_cast<int>(line.size() + figure.size());
    const int bar_width = std::max(room, 0);
    const int filled = bar_width * percent / 100;
    line.append(static_cast<std::size_t>(filled), '#');
    line.append(static_cast<std::size_t>(bar_width - filled), '.');
    return line + figure;
}

std::string fitted(const std::string& line, int width) {
    return line.size() > static_cast<std::size_t>(width) ? line.substr(0, static_cast<std::size_t>(width))
                                                         : line;
}

}  // namespace

int terminal_columns() {
#if !defined(_WIN32)
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return size.ws_col;
    }
#endif
    if (const char* columns = std::getenv("COLUMNS")) {
        const int value = std::atoi(columns);
        if (value > 0) {
            return value;
        }
    }
    return 80;
}

TerminalBars::TerminalBars(const DisplaySettings& settings, const DisplayEnvironment& environment)
    : settings_(settings), environment_(environment), last_line_written_(environment.now()) {}

bool TerminalBars::move(int control, std::uint32_t position) {
    const bool overall = control == IDC_OVERALL_PROGRESS;
    std::uint32_t& bar = overall ? overall_ : task_;
    if (bar == position) {
        return false;
    }
    bar = position;
    if (overall && position > 0 && !progress_seen_) {
        progress_seen_ = true;
        progress_started_ = environment_.now();
    }
    // A position past the bar's end (the window's bar shows it full) says
    // nothing about how far the run is.
    if (overall && position <= PROGRESS_FULL) {
        percent_ = std::max(percent_, percent_of(position));
    }
    return true;
}

void TerminalBars::show_unfinished_line(const std::string& line) {
    unfinished_line_ = line;
}

void TerminalBars::redraw_now() {
    redraw(true);
}

void TerminalBars::redraw_when_due() {
    redraw(false);
}

// Redrawn at most ten times a second, unless forced (a line was just printed above).
void TerminalBars::redraw(bool forced) {
    if (settings_.style != TerminalStyle::interactive) {
        return;
    }
    if (settings_.quiet || (overall_ == 0 && task_ == 0 && unfinished_line_.empty())) {
        clear();
        return;
    }
    const auto now = environment_.now();
    if (!forced && !drawn_lengths_.empty() && now - last_drawn_ < REDRAW_INTERVAL) {
        return;
    }
    last_drawn_ = now;
    clear();
    const std::vector<std::string> lines = status_lines(environment_.columns());
    std::string block;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        block += (i == 0 ? "" : "\n") + lines[i];
        drawn_lengths_.push_back(lines[i].size());
    }
    std::fputs(block.c_str(), environment_.out);
    std::fflush(environment_.out);
}

// Each line was drawn narrower than the terminal; when the terminal has
// narrowed since, it may have wrapped them, so the rows are counted at
// today's width.
void TerminalBars::clear() {
    if (drawn_lengths_.empty()) {
        return;
    }
    const auto columns = static_cast<std::size_t>(std::max(environment_.columns(), 1));
    std::size_t rows = 0;
    for (const std::size_t length : drawn_lengths_) {
        rows += std::max<std::size_t>(1, (length + columns - 1) / columns);
    }
    std::string codes = "\r";
    if (rows > 1) {
        codes += "\x1b[" + std::to_string(rows - 1) + "A";
    }
    codes += "\x1b[J";
    std::fputs(codes.c_str(), environment_.out);
    // Before anything goes to the other stream of the same terminal.
    std::fflush(environment_.out);
    drawn_lengths_.clear();
}

void TerminalBars::line_written() {
    last_line_written_ = environment_.now();
}

// During a long step, so that a log read through a pipe shows the run is alive.
std::string TerminalBars::due_progress_line() const {
    if (environment_.now() - last_line_written_ < PLAIN_PROGRESS_INTERVAL || !progress_seen_) {
        return "";
    }
    std::string line = "progress: " + std::to_string(percent_) + "%";
    if (!unfinished_line_.empty()) {
        line += " (" + unfinished_line_ + std::to_string(percent_of(task_)) + "%)";
    }
    const std::string eta = eta_text();
    if (!eta.empty()) {
        line += ", " + eta;
    }
    return line;
}

// Below the log: the step in progress (when a line is unfinished) and the two
// bars, each cut to the width so that none wraps.
std::vector<std::string> TerminalBars::status_lines(int columns) const {
    const int width = std::max(columns - 1, 10);
    std::vector<std::string> lines;
    // A step while it runs ("Erasing bitstream ... "); once its outcome is
    // there the line is about to go into the log, and is not shown twice.
    if (!unfinished_line_.empty() && unfinished_line_.back() == ' ') {
        lines.push_back(fitted(unfinished_line_, width));
    }
    const std::string eta = eta_text();
    lines.push_back(fitted(bar_line("overall", percent_, eta.empty() ? "" : "  " + eta, width), width));
    lines.push_back(fitted(bar_line("step   ", percent_of(task_), "", width), width));
    return lines;
}

// Time left from the pace of the run so far, once there is a pace to speak of.
std::string TerminalBars::eta_text() const {
    if (!progress_seen_ || percent_ < ETA_MIN_PERCENT || percent_ >= 100) {
        return "";
    }
    const auto elapsed = environment_.now() - progress_started_;
    if (elapsed < ETA_MIN_ELAPSED) {
        return "";
    }
    const auto seconds_elapsed = std::chrono::duration_cast<std::chrono::seconds>(elapsed).count();
    const long long left = seconds_elapsed * (100 - percent_) / percent_;
    if (left < 90) {
        return "about " + std::to_string(std::max(left, 1LL)) + " s left";
    }
    return "about " + std::to_string((left + 30) / 60) + " min left";
}
