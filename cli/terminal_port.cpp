#include "cli/terminal_port.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr int BAR_WIDTH = 40;

std::string bar_text(const char* name, std::uint32_t position) {
    const std::uint32_t shown = std::min<std::uint32_t>(position, PROGRESS_FULL);
    const auto filled = static_cast<int>(shown * BAR_WIDTH / PROGRESS_FULL);
    return std::string(name) + " [" + std::string(static_cast<std::size_t>(filled), '#') +
           std::string(static_cast<std::size_t>(BAR_WIDTH - filled), '.') + "] " +
           std::to_string(shown * 100 / PROGRESS_FULL) + "%";
}

const char* icon_prefix(MessageIcon icon) {
    switch (icon) {
        case MessageIcon::error: return "error: ";
        case MessageIcon::warning: return "warning: ";
        default: return "";
    }
}

const char* icon_name(MessageIcon icon) {
    switch (icon) {
        case MessageIcon::error: return "error";
        case MessageIcon::warning: return "warning";
        default: return "information";
    }
}

// Message texts break lines with "\r\n", as the window shows them.
std::string terminal_text(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c != '\r') {
            out += c;
        }
    }
    return out;
}

}  // namespace

std::string json_escape(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                    out += escaped;
                } else {
                    out += c;
                }
        }
    }
    return out;
}

TerminalPort::TerminalPort(std::FILE* out, TerminalStyle style) : out_(out), style_(style) {}

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

// Once, as the first write to the instrument begins: an interruption from here
// on leaves it to be repaired by another run.
void TerminalPort::notice_before_writing(const char* text) {
    if (write_notice_given_ ||
        (std::strncmp(text, "Erasing ", 8) != 0 && std::strncmp(text, "Programming ", 12) != 0)) {
        return;
    }
    write_notice_given_ = true;
    static constexpr const char* NOTICE =
        "Writing to the instrument: keep it connected and powered until the end.";
    if (style_ == TerminalStyle::json) {
        emit_json(std::string("{\"type\":\"notice\",\"text\":\"") + NOTICE + "\"}");
        return;
    }
    clear_bars();
    std::fprintf(stderr, "%s\n", NOTICE);
    std::fflush(stderr);
}

void TerminalPort::append_text(const char* text) {
    notice_before_writing(text);
    modelled_length_ += static_cast<std::uint32_t>(std::strlen(text));
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c == '\r') {
            continue;
        }
        if (*c == '\n') {
            end_line();
            continue;
        }
        pending_line_ += *c;
        if (style_ == TerminalStyle::plain) {
            std::fputc(*c, out_);
        }
    }
    if (!pending_line_.empty()) {
        last_label_ = pending_line_;
    }
    if (style_ == TerminalStyle::plain) {
        std::fflush(out_);
    } else if (style_ == TerminalStyle::interactive) {
        redraw_bars();
    }
}

void TerminalPort::end_line() {
    if (style_ == TerminalStyle::json) {
        emit_json("{\"type\":\"log\",\"text\":\"" + json_escape(pending_line_) + "\"}");
    } else if (style_ == TerminalStyle::plain) {
        std::fputc('\n', out_);
    } else {
        clear_bars();
        std::fprintf(out_, "%s\n", pending_line_.c_str());
    }
    pending_line_.clear();
}

// The log's whole text replaced: a new line of its own on the terminal.
void TerminalPort::log_set_text(const char* text) {
    std::lock_guard lock(mutex_);
    if (!pending_line_.empty()) {
        end_line();
    }
    modelled_length_ = 0;
    append_text(text);
}

void TerminalPort::progress_set(int control, std::uint32_t position) {
    std::lock_guard lock(mutex_);
    std::uint32_t& bar = control == IDC_OVERALL_PROGRESS ? overall_ : task_;
    if (bar == position) {
        return;
    }
    bar = position;
    if (style_ == TerminalStyle::json) {
        emit_json(std::string("{\"type\":\"progress\",\"bar\":\"") +
                  (control == IDC_OVERALL_PROGRESS ? "overall" : "task") +
                  "\",\"position\":" + std::to_string(position) + "}");
    } else if (style_ == TerminalStyle::interactive) {
        redraw_bars();
    }
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
    (icon == MessageIcon::information ? information_ : warning_or_error_) = true;
    if (!pending_line_.empty()) {
        end_line();
    }
    if (style_ == TerminalStyle::json) {
        emit_json(std::string("{\"type\":\"message\",\"icon\":\"") + icon_name(icon) +
                  "\",\"text\":\"" + json_escape(text) + "\"}");
        return;
    }
    clear_bars();
    std::fprintf(out_, "%s%s\n", icon_prefix(icon), terminal_text(text).c_str());
    std::fflush(out_);
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

void TerminalPort::finish(int exit_code, bool interrupted) {
    std::lock_guard lock(mutex_);
    if (!pending_line_.empty()) {
        end_line();
    }
    clear_bars();
    if (style_ == TerminalStyle::json) {
        emit_json("{\"type\":\"result\",\"exit_code\":" + std::to_string(exit_code) +
                  ",\"interrupted\":" + (interrupted ? "true" : "false") + "}");
    }
    std::fflush(out_);
}

void TerminalPort::emit_json(const std::string& object) {
    std::fprintf(out_, "%s\n", object.c_str());
    std::fflush(out_);
}

// Three lines below the log: the current step and the two bars, redrawn at
// most ten times a second.
void TerminalPort::redraw_bars() {
    const auto now = std::chrono::steady_clock::now();
    if (bars_drawn_ && now - last_drawn_ < std::chrono::milliseconds(100)) {
        return;
    }
    last_drawn_ = now;
    clear_bars();
    std::fprintf(out_, "%s\n%s\n%s  %s\n", last_label_.c_str(), bar_text("overall", overall_).c_str(),
                 bar_text("task   ", task_).c_str(), eta_text().c_str());
    std::fflush(out_);
    bars_drawn_ = true;
}

void TerminalPort::clear_bars() {
    if (!bars_drawn_) {
        return;
    }
    // Up three lines, clearing each.
    std::fputs("\x1b[1A\x1b[2K\x1b[1A\x1b[2K\x1b[1A\x1b[2K\r", out_);
    bars_drawn_ = false;
}

// Time left from the overall bar's pace so far.
std::string TerminalPort::eta_text() const {
    const std::uint32_t done = std::min<std::uint32_t>(overall_, PROGRESS_FULL);
    if (done == 0) {
        return "";
    }
    const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(
                             std::chrono::steady_clock::now() - started_)
                             .count();
    const auto left = elapsed * static_cast<long long>(PROGRESS_FULL - done) / done;
    return "about " + std::to_string(left) + " s left";
}
