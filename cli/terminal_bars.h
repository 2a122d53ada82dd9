#pragma once
// The window's two bars on a terminal: redrawn in place below the log where
// escape codes are welcome (with the step in progress above them), else a
// progress line now and then; with the time left once the run has a pace.
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/display_settings.h"

// The terminal's width: the size the terminal reports, else COLUMNS, else 80.
int terminal_columns();

constexpr auto PLAIN_PROGRESS_INTERVAL = std::chrono::seconds(10);

class TerminalBars {
public:
    // The settings and the environment (columns and now given) outlive the bars.
    TerminalBars(const DisplaySettings& settings, const DisplayEnvironment& environment);

    // One bar (IDC_OVERALL_PROGRESS or IDC_TASK_PROGRESS) set to a position;
    // false when it stood there already.
    bool move(int control, std::uint32_t position);
    int percent() const { return percent_; }  // of the run, only rising
    std::uint32_t overall() const { return overall_; }
    std::uint32_t task() const { return task_; }

    // The log's unfinished line: the step in progress.
    void show_unfinished_line(const std::string& line);

    // With escape codes only (else nothing): the bars drawn again below what
    // was printed, now or at most ten times a second.
    void redraw_now();
    void redraw_when_due();
    // Back to where the bars began, and everything below erased.
    void clear();

    // A whole line went out: the next progress line waits an interval from now.
    void line_written();
    // Without escape codes: the progress line due now, or empty when none is.
    std::string due_progress_line() const;

private:
    void redraw(bool forced);
    std::vector<std::string> status_lines(int columns) const;
    std::string eta_text() const;

    const DisplaySettings& settings_;
    const DisplayEnvironment& environment_;
    std::string unfinished_line_;
    std::uint32_t overall_ = 0;
    std::uint32_t task_ = 0;
    int percent_ = 0;
    std::chrono::steady_clock::time_point progress_started_{};
    bool progress_seen_ = false;
    std::vector<std::size_t> drawn_lengths_;  // the status lines on screen
    std::chrono::steady_clock::time_point last_drawn_{};
    std::chrono::steady_clock::time_point last_line_written_{};
};
