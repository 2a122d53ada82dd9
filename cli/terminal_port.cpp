#include "cli/terminal_port.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#if !defined(_WIN32)
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace {

constexpr const char* WRITE_NOTICE =
    "Writing to the instrument: keep it connected and powered until the end.";
constexpr auto REDRAW_INTERVAL = std::chrono::milliseconds(100);
// An estimate means something only once this much of the run is behind it.
constexpr int ETA_MIN_PERCENT = 5;
constexpr auto ETA_MIN_ELAPSED = std::chrono::seconds(10);

const char* severity_name(MessageIcon icon) {
    switch (icon) {
        case MessageIcon::error: return "error";
        case MessageIcon::warning: return "warning";
        default: return "information";
    }
}

// Message texts break lines with "\r\n", as the window shows them.
std::string without_returns(const std::string& text) {
    std::string out;
    std::copy_if(text.begin(), text.end(), std::back_inserter(out), [](char c) { return c != '\r'; });
    return out;
}

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

TerminalPort::TerminalPort(DisplaySettings settings, DisplayEnvironment environment)
    : settings_(settings), environment_(std::move(environment)) {
    if (!environment_.columns) {
        environment_.columns = terminal_columns;
    }
    if (!environment_.now) {
        environment_.now = [] { return std::chrono::steady_clock::now(); };
    }
    last_plain_output_ = environment_.now();
}

std::uint32_t TerminalPort::log_text_length() {
    std::lock_guard lock(mutex_);
    return modelled_length_;
}

// A selection from 0 is the log's trim: the terminal keeps what it printed,
// only the modelled length shrinks.
void TerminalPort::log_set_selection(int start, int end) {
    std::lock_guard lock(mutex_);
    replace_trims_ = start == 0 && end > 0;
    if (replace_trims_) {
        modelled_length_ -= std::min<std::uint32_t>(modelled_length_, static_cast<std::uint32_t>(end));
    }
}

void TerminalPort::log_replace_selection(const char* text) {
    std::lock_guard lock(mutex_);
    if (replace_trims_) {
        replace_trims_ = false;
        return;
    }
    append_text(text);
}

// The log's whole text replaced: a new line of its own.
void TerminalPort::log_set_text(const char* text) {
    std::lock_guard lock(mutex_);
    if (!pending_line_.empty()) {
        end_line();
    }
    modelled_length_ = 0;
    append_text(text);
}

// Once, as the first write to the instrument begins: an interruption from here
// on leaves it to be repaired by another run.
void TerminalPort::notice_before_writing(const char* text) {
    if (write_notice_given_ ||
        (std::strncmp(text, "Erasing ", 8) != 0 && std::strncmp(text, "Programming ", 12) != 0)) {
        return;
    }
    write_notice_given_ = true;
    if (settings_.quiet) {
        return;
    }
    if (json()) {
        emit(JsonRecord("notice").add("text", WRITE_NOTICE));
    } else {
        write_line(environment_.err, WRITE_NOTICE);
    }
}

void TerminalPort::append_text(const char* text) {
    notice_before_writing(text);
    modelled_length_ += static_cast<std::uint32_t>(std::strlen(text));
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c == '\n') {
            end_line();
        } else if (*c != '\r') {
            pending_line_ += *c;
        }
    }
    if (settings_.style == TerminalStyle::interactive) {
        redraw_bars(true);
    }
}

void TerminalPort::end_line() {
    const std::string line = std::move(pending_line_);
    pending_line_.clear();
    if (settings_.quiet) {
        return;
    }
    if (json()) {
        emit(JsonRecord("log").add("text", line));
        return;
    }
    write_line(environment_.out, line);
}

// A whole line on one of the streams, with the bars moved below it.
void TerminalPort::write_line(std::FILE* stream, const std::string& line) {
    clear_bars();
    std::fprintf(stream, "%s\n", line.c_str());
    std::fflush(stream);
    last_plain_output_ = environment_.now();
    if (settings_.style == TerminalStyle::interactive) {
        redraw_bars(true);
    }
}

void TerminalPort::progress_set(int control, std::uint32_t position) {
    std::lock_guard lock(mutex_);
    const bool overall = control == IDC_OVERALL_PROGRESS;
    std::uint32_t& bar = overall ? overall_ : task_;
    if (bar == position) {
        return;
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
    if (settings_.quiet) {
        return;
    }
    switch (settings_.style) {
        case TerminalStyle::json:
            emit(JsonRecord("progress")
                     .add("percent", percent_)
                     .add("overall", static_cast<long long>(overall_))
                     .add("task", static_cast<long long>(task_)));
            break;
        case TerminalStyle::interactive: redraw_bars(false); break;
        case TerminalStyle::plain: plain_progress_line(); break;
    }
}

// Without escape codes, a line now and then during a long step, so that a log
// read through a pipe shows the run is alive.
void TerminalPort::plain_progress_line() {
    const auto now = environment_.now();
    if (now - last_plain_output_ < PLAIN_PROGRESS_INTERVAL || !progress_seen_) {
        return;
    }
    std::string line = "progress: " + std::to_string(percent_) + "%";
    if (!pending_line_.empty()) {
        line += " (" + pending_line_ + std::to_string(percent_of(task_)) + "%)";
    }
    const std::string eta = eta_text();
    if (!eta.empty()) {
        line += ", " + eta;
    }
    write_line(environment_.out, line);
}

void TerminalPort::device_combo_reset() {
    std::lock_guard lock(mutex_);
    devices_.clear();
    selection_ = -1;
}

void TerminalPort::device_combo_append(const char* text) {
    std::lock_guard lock(mutex_);
    devices_.emplace_back(text);
}

void TerminalPort::device_combo_select(int index) {
    std::lock_guard lock(mutex_);
    selection_ = index >= 0 && static_cast<std::size_t>(index) < devices_.size() ? index : -1;
}

int TerminalPort::device_combo_selection() {
    std::lock_guard lock(mutex_);
    return selection_;
}

// The run's summary goes with the results; warnings and errors to standard error.
void TerminalPort::message_box(const char* text, MessageIcon icon) {
    std::lock_guard lock(mutex_);
    (icon == MessageIcon::information ? information_ : warning_or_error_) = true;
    if (!pending_line_.empty()) {
        end_line();
    }
    const std::string shown = without_returns(text);
    if (json()) {
        emit(JsonRecord("message").add("severity", severity_name(icon)).add("text", shown));
        return;
    }
    if (icon == MessageIcon::information) {
        write_line(environment_.out, shown);
    } else {
        write_line(environment_.err, std::string(severity_name(icon)) + ": " + shown);
    }
}

void TerminalPort::item_event(const ItemEvent& event) {
    std::lock_guard lock(mutex_);
    report_.record(event);
    if (!json() || settings_.quiet || event.outcome == ItemOutcome::started) {
        return;
    }
    JsonRecord record("item");
    record.add("item", json_identifier(work_item_name(event.item)))
        .add("phase", item_phase_name(event.phase))
        .add("outcome", json_identifier(item_outcome_name(event.outcome)));
    if (!event.installed_revision.empty()) {
        record.add("installed", printable(event.installed_revision));
    }
    emit(record);
}

void TerminalPort::result(const std::string& text, const JsonRecord& record) {
    std::lock_guard lock(mutex_);
    if (json()) {
        emit(record);
    } else {
        write_line(environment_.out, text);
    }
}

void TerminalPort::error(const std::string& text) {
    std::lock_guard lock(mutex_);
    warning_or_error_ = true;
    if (json()) {
        emit(JsonRecord("message").add("severity", "error").add("text", without_returns(text)));
    } else {
        write_line(environment_.err, "error: " + without_returns(text));
    }
}

void TerminalPort::usb_detail(const std::string& text, const JsonRecord& record) {
    std::lock_guard lock(mutex_);
    if (settings_.quiet) {
        return;
    }
    if (json()) {
        emit(record);
    } else {
        write_line(environment_.out, "usb: " + text);
    }
}

std::vector<std::string> TerminalPort::devices() const {
    std::lock_guard lock(mutex_);
    return devices_;
}

bool TerminalPort::shown_information() const {
    std::lock_guard lock(mutex_);
    return information_;
}

bool TerminalPort::shown_warning_or_error() const {
    std::lock_guard lock(mutex_);
    return warning_or_error_;
}

RunReport TerminalPort::report() const {
    std::lock_guard lock(mutex_);
    return report_;
}

void TerminalPort::finish() {
    std::lock_guard lock(mutex_);
    if (!pending_line_.empty()) {
        end_line();
    }
    clear_bars();
    std::fflush(environment_.out);
}

void TerminalPort::emit(const JsonRecord& record) {
    std::fprintf(environment_.out, "%s\n", record.text().c_str());
    std::fflush(environment_.out);
}

// Below the log: the step in progress (when a line is unfinished) and the two
// bars, each cut to the width so that none wraps.
std::vector<std::string> TerminalPort::status_lines(int columns) const {
    const int width = std::max(columns - 1, 10);
    std::vector<std::string> lines;
    // A step while it runs ("Erasing bitstream ... "); once its outcome is
    // there the line is about to go into the log, and is not shown twice.
    if (!pending_line_.empty() && pending_line_.back() == ' ') {
        lines.push_back(fitted(pending_line_, width));
    }
    const std::string eta = eta_text();
    lines.push_back(fitted(bar_line("overall", percent_, eta.empty() ? "" : "  " + eta, width), width));
    lines.push_back(fitted(bar_line("step   ", percent_of(task_), "", width), width));
    return lines;
}

// Redrawn at most ten times a second, unless a line was just printed above.
void TerminalPort::redraw_bars(bool forced) {
    if (settings_.quiet || (overall_ == 0 && task_ == 0 && pending_line_.empty())) {
        clear_bars();
        return;
    }
    const auto now = environment_.now();
    if (!forced && !drawn_lengths_.empty() && now - last_drawn_ < REDRAW_INTERVAL) {
        return;
    }
    last_drawn_ = now;
    clear_bars();
    const std::vector<std::string> lines = status_lines(environment_.columns());
    std::string block;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        block += (i == 0 ? "" : "\n") + lines[i];
        drawn_lengths_.push_back(lines[i].size());
    }
    std::fputs(block.c_str(), environment_.out);
    std::fflush(environment_.out);
}

// Back to the first status line and everything below it erased. Each line was
// drawn narrower than the terminal; when the terminal has narrowed since, it
// may have wrapped them, so the rows are counted at today's width.
void TerminalPort::clear_bars() {
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

// Time left from the pace of the run so far, once there is a pace to speak of.
std::string TerminalPort::eta_text() const {
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
