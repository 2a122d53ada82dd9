#include "cli/terminal_port.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

// The width of the terminal the bars are drawn on and the steady clock, where
// the caller gives none.
DisplayEnvironment with_defaults(DisplayEnvironment environment, const DisplaySettings& settings) {
    if (!environment.columns) {
        std::FILE* const bars = settings.bars_on == BarsStream::err ? environment.err : environment.out;
        environment.columns = [bars] { return terminal_columns(bars); };
    }
    if (!environment.now) {
        environment.now = [] { return std::chrono::steady_clock::now(); };
    }
    return environment;
}

}  // namespace

TerminalPort::TerminalPort(DisplaySettings settings, DisplayEnvironment environment)
    : settings_(settings),
      environment_(with_defaults(std::move(environment), settings_)),
      bars_(settings_, environment_),
      lines_(settings_, environment_, bars_) {}

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

void TerminalPort::append_text(const char* text) {
    modelled_length_ += static_cast<std::uint32_t>(std::strlen(text));
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c == '\n') {
            end_line();
        } else if (*c != '\r') {
            pending_line_ += *c;
        }
    }
    bars_.show_unfinished_line(pending_line_);
    bars_.redraw_now();
}

void TerminalPort::end_line() {
    const std::string line = std::move(pending_line_);
    pending_line_.clear();
    bars_.show_unfinished_line(pending_line_);
    lines_.log_line(line);
}

void TerminalPort::progress_set(int control, std::uint32_t position) {
    std::lock_guard lock(mutex_);
    if (!bars_.move(control, position)) {
        return;
    }
    lines_.progress();
    bars_.redraw_when_due();
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

void TerminalPort::message_box(const char* text, MessageIcon icon) {
    std::lock_guard lock(mutex_);
    if (!pending_line_.empty()) {
        end_line();
    }
    lines_.message(text, icon);
}

void TerminalPort::show_item(const ItemEvent& event) {
    std::lock_guard lock(mutex_);
    lines_.item(event);
    if (write_notice_.due(event)) {
        lines_.notice(WRITE_NOTICE_TEXT);
    }
}

void TerminalPort::result(const std::string& text, const JsonRecord& record) {
    std::lock_guard lock(mutex_);
    lines_.result(text, record);
}

void TerminalPort::error(const std::string& text) {
    std::lock_guard lock(mutex_);
    lines_.error(text);
}

void TerminalPort::usb_detail(const std::string& text, const JsonRecord& record) {
    std::lock_guard lock(mutex_);
    lines_.usb_detail(text, record);
}

std::vector<std::string> TerminalPort::devices() const {
    std::lock_guard lock(mutex_);
    return devices_;
}

void TerminalPort::finish() {
    std::lock_guard lock(mutex_);
    if (!pending_line_.empty()) {
        end_line();
    }
    bars_.clear();
    std::fflush(environment_.out);
    std::fflush(environment_.err);
}

void TerminalPort::run_alone(const std::function<void()>& action) {
    std::lock_guard lock(mutex_);
    bars_.clear();
    action();
}
