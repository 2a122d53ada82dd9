#include "cli/terminal_bars.h"

#include <algorithm>
#include <cstdlib>
#include <numeric>

#include "images/images.h"

#if defined(_WIN32)
#include <windows.h>

#include <io.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace {

constexpr auto REDRAW_INTERVAL = std::chrono::milliseconds(100);
// A line on standard output while the bars are on standard error reaches the
// terminal through another program (`| tee log`), a moment later: the bars
// stay away that long, so that the line does not land among them.
constexpr auto PIPED_LINE_SETTLE = std::chrono::milliseconds(200);
// An estimate means something only once this much of the run is behind it.
constexpr int ETA_MIN_PERCENT = 5;
constexpr auto ETA_MIN_ELAPSED = std::chrono::seconds(10);
constexpr long long ETA_MAX_MINUTES = 999;
// Room beside the bars for "100%" and for the longest estimate.
constexpr int FIGURE_WIDTH = 4;
const std::string LONGEST_ETA = "  about 999 min left";
// Narrower than this, a bar keeps its room and the estimate is left out.
constexpr int MIN_BAR_WIDTH = 10;
const std::string BAR_NAMES[] = {"overall", "step   "};

// What the instrument takes per byte of an image and per board write, in
// microseconds: the flash erases by sector and programs by page at about the
// same pace per byte, and reads back about seven times faster.
constexpr double ERASE_US_PER_BYTE = 3.7;
constexpr double PROGRAM_US_PER_BYTE = 3.7;
constexpr double READ_US_PER_BYTE = 0.56;
constexpr double USB_FIRMWARE_WRITE_US = 1.5e6;
constexpr double SUPPLY_WRITE_US = 3.2e6;

int percent_of(std::uint32_t position) {
    return static_cast<int>(std::min<std::uint32_t>(position, PROGRESS_FULL) * 100 / PROGRESS_FULL);
}

// A step's expected duration spread over its stretch of the bar; a stretch
// without width (a step hidden in another's) adds nothing.
void spread(BarWeights& weights, BarSpan span, double duration) {
    const int from = std::clamp(span.from, 0, PROGRESS_FULL);
    const int to = std::clamp(span.to, from, PROGRESS_FULL);
    for (int unit = from; unit < to; ++unit) {
        weights[static_cast<std::size_t>(unit)] += duration / (to - from);
    }
}

std::string fitted(const std::string& line, int width) {
    return line.size() > static_cast<std::size_t>(width) ? line.substr(0, static_cast<std::size_t>(width))
                                                         : line;
}

}  // namespace

// "name [####....] 45%<tail>": the bracket part `bar_width` wide whatever the
// figure and the tail.
std::string bar_line(const std::string& name, int percent, const std::string& tail, int bar_width) {
    const int filled = bar_width * percent / 100;
    std::string figure = std::to_string(percent) + '%';
    figure.insert(0, static_cast<std::size_t>(std::max(FIGURE_WIDTH - static_cast<int>(figure.size()), 0)), ' ');
    std::string line = name + " [";
    line.append(static_cast<std::size_t>(filled), '#');
    line.append(static_cast<std::size_t>(bar_width - filled), '.');
    return line + "] " + figure + tail;
}

#if defined(_WIN32)
namespace {

HANDLE console_of(std::FILE* stream) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

}  // namespace
#endif

// On Windows a console: _isatty also calls NUL and serial ports terminals.
bool is_terminal(std::FILE* stream) {
#if defined(_WIN32)
    DWORD mode = 0;
    return GetConsoleMode(console_of(stream), &mode) != 0;
#else
    return isatty(fileno(stream)) != 0;
#endif
}

bool terminal_takes_escape_codes(std::FILE* stream) {
#if defined(_WIN32)
    // The console moves the cursor on escape codes once asked to (Windows 10
    // and later); an older console refuses.
    const HANDLE console = console_of(stream);
    DWORD mode = 0;
    return GetConsoleMode(console, &mode) != 0 &&
           ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
            SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0);
#else
    return is_terminal(stream);
#endif
}

int terminal_columns(std::FILE* stream) {
#if !defined(_WIN32)
    winsize size{};
    if (ioctl(fileno(stream), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return size.ws_col;
    }
#else
    CONSOLE_SCREEN_BUFFER_INFO screen{};
    if (GetConsoleScreenBufferInfo(console_of(stream), &screen) &&
        screen.srWindow.Right > screen.srWindow.Left) {
        return screen.srWindow.Right - screen.srWindow.Left + 1;
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

BarWeights bar_weights(std::span<const ItemRow> table, bool checks_only,
                       const std::function<std::int64_t(int image_id)>& image_length) {
    BarWeights weights{};
    double flash_bytes = 0.0;
    for (const ItemRow& row : table) {
        const auto bytes = static_cast<double>(std::max<std::int64_t>(image_length(row.image_id), 0));
        if (row.kind != ItemKind::flash_region) {
            if (!checks_only) {
                spread(weights, row.write,
                       row.kind == ItemKind::usb_firmware ? USB_FIRMWARE_WRITE_US : SUPPLY_WRITE_US);
            }
            continue;
        }
        flash_bytes += bytes;
        // A Verify run's check reads the region back (an up-to-date one
        // whole). A Program run's says nothing of the time: an outdated item's
        // stops at its first difference, an up-to-date one's writes are
        // skipped, the bar passing them at once.
        if (checks_only) {
            spread(weights, row.check_when_verifying, bytes * READ_US_PER_BYTE);
        } else {
            spread(weights, row.erase, bytes * ERASE_US_PER_BYTE);
            spread(weights, row.program, bytes * PROGRAM_US_PER_BYTE);
            spread(weights, row.verify, bytes * READ_US_PER_BYTE);
        }
    }
    if (flash_bytes <= 0.0) {
        weights.fill(1.0);
    }
    return weights;
}

std::optional<std::chrono::seconds> time_left(const BarWeights& weights, std::uint32_t from,
                                              std::uint32_t position,
                                              std::chrono::steady_clock::duration elapsed) {
    const auto weight_to = [&weights](std::uint32_t end) {
        const auto units = static_cast<std::ptrdiff_t>(std::min<std::uint32_t>(end, PROGRESS_FULL));
        return std::accumulate(weights.begin(), weights.begin() + units, 0.0);
    };
    const double done = weight_to(position) - weight_to(from);
    if (done <= 0.0) {
        return std::nullopt;
    }
    const double left = weight_to(PROGRESS_FULL) - weight_to(position);
    const double seconds = std::chrono::duration<double>(elapsed).count() * left / done;
    return std::chrono::seconds(static_cast<long long>(seconds + 0.5));
}

std::string time_left_text(std::chrono::seconds left) {
    const long long seconds = left.count();
    if (seconds < 90) {
        return "about " + std::to_string(std::max(seconds, 1LL)) + " s left";
    }
    return "about " + std::to_string(std::min((seconds + 30) / 60, ETA_MAX_MINUTES)) + " min left";
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
    if (overall && position > 0 && position <= PROGRESS_FULL && !progress_seen_) {
        progress_seen_ = true;
        progress_started_ = environment_.now();
        progress_started_at_ = position;
        weights_ = bar_weights(item_table(), settings_.checks_only,
                               [](int image_id) { return firmware_image(image_id).length; });
    }
    // A position past the bar's end (the window's bar shows it full) says
    // nothing about how far the run is.
    if (overall && position <= PROGRESS_FULL) {
        percent_ = std::max(percent_, percent_of(position));
    }
    return true;
}

std::FILE* TerminalBars::stream() const {
    return settings_.bars_on == BarsStream::err ? environment_.err : environment_.out;
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

// Redrawn at most ten times a second, unless forced (a line was just printed
// above). The block begins with an empty row, and the cursor is left at its
// start: whatever else reaches the terminal meanwhile (a line passed on by
// `tee`, a diagnostic) is written there, not into the bars, and the next
// redraw erases from there down.
void TerminalBars::redraw(bool forced) {
    if (settings_.style != TerminalStyle::interactive) {
        return;
    }
    if (settings_.quiet || (overall_ == 0 && task_ == 0 && unfinished_line_.empty())) {
        clear();
        return;
    }
    const auto now = environment_.now();
    if (now < hidden_until_ || (!forced && drawn_ && now - last_drawn_ < REDRAW_INTERVAL)) {
        return;
    }
    last_drawn_ = now;
    clear();
    const std::vector<std::string> lines = status_lines(environment_.columns());
    std::string block;
    for (const std::string& line : lines) {
        block += "\n" + line;
    }
    block += "\x1b[" + std::to_string(lines.size()) + "A\r";
    std::fputs(block.c_str(), stream());
    std::fflush(stream());
    drawn_ = true;
}

// Each line was drawn narrower than the terminal, below the cursor: when the
// terminal has narrowed since and wrapped them, they are still all below it.
void TerminalBars::clear() {
    if (!drawn_) {
        return;
    }
    std::fputs("\r\x1b[J", stream());
    // Before anything goes to the other stream of the same terminal.
    std::fflush(stream());
    drawn_ = false;
}

void TerminalBars::line_written(std::FILE* stream) {
    last_line_written_ = environment_.now();
    if (settings_.bars_on == BarsStream::err && stream != this->stream()) {
        hidden_until_ = last_line_written_ + PIPED_LINE_SETTLE;
    }
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
// bars, their brackets equally wide for a given terminal width, with room for
// "100%" and the longest estimate; each cut to the width so that none wraps.
std::vector<std::string> TerminalBars::status_lines(int columns) const {
    const int width = std::max(columns - 1, 10);
    std::vector<std::string> lines;
    // A step while it runs ("Erasing bitstream ... "); once its outcome is
    // there the line is about to go into the log, and is not shown twice.
    if (!unfinished_line_.empty() && unfinished_line_.back() == ' ') {
        lines.push_back(fitted(unfinished_line_, width));
    }
    const int frame = static_cast<int>(BAR_NAMES[0].size() + std::string(" [] ").size()) + FIGURE_WIDTH;
    const int with_estimate = width - frame - static_cast<int>(LONGEST_ETA.size());
    const bool estimate_fits = with_estimate >= MIN_BAR_WIDTH;
    const int bar_width = std::max(estimate_fits ? with_estimate : width - frame, 0);
    const std::string eta = estimate_fits ? eta_text() : "";
    lines.push_back(fitted(bar_line(BAR_NAMES[0], percent_, eta.empty() ? "" : "  " + eta, bar_width), width));
    lines.push_back(fitted(bar_line(BAR_NAMES[1], percent_of(task_), "", bar_width), width));
    return lines;
}

// Time left from the run's shape and its pace so far, once there is a pace to
// speak of.
std::string TerminalBars::eta_text() const {
    if (!progress_seen_ || percent_ < ETA_MIN_PERCENT || percent_ >= 100) {
        return "";
    }
    const auto elapsed = environment_.now() - progress_started_;
    if (elapsed < ETA_MIN_ELAPSED) {
        return "";
    }
    const std::optional<std::chrono::seconds> left =
        time_left(weights_, progress_started_at_, std::min<std::uint32_t>(overall_, PROGRESS_FULL), elapsed);
    return left ? time_left_text(*left) : "";
}
