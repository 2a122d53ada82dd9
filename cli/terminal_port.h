#pragma once
// The window, as a terminal shows it: log lines as they complete, the two
// progress bars redrawn in place on a TTY, message boxes as prefixed lines,
// or one JSON object per event for scripts.
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "window/window_port.h"

enum class TerminalStyle {
    plain,        // lines only
    interactive,  // lines and live progress bars
    json,         // one JSON object per line
};

class TerminalPort final : public WindowPort {
public:
    TerminalPort(std::FILE* out, TerminalStyle style);

    std::uint32_t log_text_length() override;
    void log_set_selection(int start, int end) override;
    void log_replace_selection(const char* text) override;
    void log_set_text(const char* text) override;
    void progress_set(int control, std::uint32_t position) override;
    void control_enable(int, bool) override {}
    void menu_item_enable(int, bool) override {}
    void device_combo_reset() override;
    void device_combo_append(const char* text) override;
    void device_combo_select(int index) override;
    int device_combo_selection() override;
    void message_box(const char* text, MessageIcon icon) override;

    // The devices as listed, for "list" and --device.
    std::vector<std::string> devices() const;
    // The most severe message shown so far; none when no message box was shown.
    bool shown_information() const;
    bool shown_warning_or_error() const;
    // Finishes the output: any unfinished line, and the bars cleared; the
    // JSON result record tells whether the run was interrupted.
    void finish(int exit_code, bool interrupted = false);

private:
    void append_text(const char* text);
    void notice_before_writing(const char* text);
    void end_line();
    void emit_json(const std::string& object);
    void redraw_bars();
    void clear_bars();
    std::string eta_text() const;

    mutable std::mutex mutex_;
    std::FILE* out_;
    TerminalStyle style_;
    std::string pending_line_;
    std::string last_label_;
    std::uint32_t modelled_length_ = 0;
    bool replace_trims_ = false;
    std::uint32_t overall_ = 0;
    std::uint32_t task_ = 0;
    bool bars_drawn_ = false;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point last_drawn_;
    std::vector<std::string> devices_;
    int selection_ = -1;
    bool write_notice_given_ = false;
    bool information_ = false;
    bool warning_or_error_ = false;
};

std::string json_escape(const std::string& text);
