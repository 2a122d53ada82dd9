#pragma once
// The window's two bars on a terminal: redrawn in place below the log where
// escape codes are welcome (with the step in progress above them), else a
// progress line now and then; with the time left once the run has a pace.
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "cli/display_settings.h"
#include "sequence/item_table.h"
#include "window/window_port.h"

// The width of the terminal behind the stream: the size the terminal reports,
// else COLUMNS, else 80.
int terminal_columns(std::FILE* stream);
// Whether the stream is a terminal.
bool is_terminal(std::FILE* stream);
// Whether the stream is a terminal that moves the cursor on escape codes (on
// Windows, a console asked to).
bool terminal_takes_escape_codes(std::FILE* stream);

constexpr auto PLAIN_PROGRESS_INTERVAL = std::chrono::seconds(10);

// What each unit of the overall bar stands for in time, relative to the
// others: the step whose stretch of the bar holds the unit (a check, erase,
// program or read-back of a row, or a board item's write), its expected
// duration spread evenly over its stretch.
using BarWeights = std::array<double, PROGRESS_FULL>;

// From the table's rows; image_length gives the length of an embedded image.
// A Verify run (checks_only) moves the bar through the checks alone. Where the
// lengths say nothing (no images loaded), every unit weighs the same.
BarWeights bar_weights(std::span<const ItemRow> table, bool checks_only,
                       const std::function<std::int64_t(int image_id)>& image_length);

// The time still to go when the bar went from `from` to `position` in
// `elapsed`: the elapsed time scaled by the weight left over the weight done;
// nothing while no weight is done.
std::optional<std::chrono::seconds> time_left(const BarWeights& weights, std::uint32_t from,
                                              std::uint32_t position,
                                              std::chrono::steady_clock::duration elapsed);

// "name [####....] 45%<tail>": the bracket part `bar_width` wide whatever the
// figure and the tail.
std::string bar_line(const std::string& name, int percent, const std::string& tail, int bar_width);

// "about 40 s left", "about 3 min left" (at most "about 999 min left").
std::string time_left_text(std::chrono::seconds left);

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

    // The stream the bars are drawn on.
    std::FILE* stream() const;

    // The log's unfinished line: the step in progress.
    void show_unfinished_line(const std::string& line);

    // With escape codes only (else nothing): the bars drawn again below what
    // was printed, now or at most ten times a second.
    void redraw_now();
    void redraw_when_due();
    // Erases the bars; the cursor is back where they began.
    void clear();

    // A whole line went out on the stream: the next progress line waits an
    // interval from now, and the bars come back below the line.
    void line_written(std::FILE* stream);
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
    std::uint32_t progress_started_at_ = 0;
    bool progress_seen_ = false;
    BarWeights weights_{};  // taken as the run's progress begins, the images loaded
    bool drawn_ = false;
    std::chrono::steady_clock::time_point last_drawn_{};
    std::chrono::steady_clock::time_point hidden_until_{};
    std::chrono::steady_clock::time_point last_line_written_{};
};
