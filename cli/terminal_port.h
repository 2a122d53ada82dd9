#pragma once
// The window, as a terminal shows it: log lines on standard output as they
// complete, warnings and errors on standard error, the two bars redrawn in
// place below the log on a terminal that takes escape codes, a progress line
// now and then otherwise; or, for scripts, one JSON record per event.
#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "cli/json_record.h"
#include "cli/run_report.h"
#include "sequence/item_report.h"
#include "window/window_port.h"

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

// The terminal's width: the size the terminal reports, else COLUMNS, else 80.
int terminal_columns();

constexpr auto PLAIN_PROGRESS_INTERVAL = std::chrono::seconds(10);

class TerminalPort final : public WindowPort, public ItemObserver {
public:
    TerminalPort(DisplaySettings settings, DisplayEnvironment environment);

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

    void item_event(const ItemEvent& event) override;

    // A line of the program's own result (list, versions, the table) on
    // standard output; in JSON mode, the record instead.
    void result(const std::string& text, const JsonRecord& record);
    // An error of the program's own (not the core's): standard error, or a
    // message record.
    void error(const std::string& text);
    // One USB request, for --verbose.
    void usb_detail(const std::string& text, const JsonRecord& record);

    std::vector<std::string> devices() const;
    bool shown_information() const;
    bool shown_warning_or_error() const;
    RunReport report() const;
    bool json() const { return settings_.style == TerminalStyle::json; }

    // Ends the display: any unfinished line, the bars cleared.
    void finish();

private:
    void append_text(const char* text);
    void notice_before_writing(const char* text);
    void end_line();
    void write_line(std::FILE* stream, const std::string& line);
    void emit(const JsonRecord& record);
    void redraw_bars(bool forced);
    void clear_bars();
    std::vector<std::string> status_lines(int columns) const;
    void plain_progress_line();
    std::string eta_text() const;

    mutable std::mutex mutex_;
    DisplaySettings settings_;
    DisplayEnvironment environment_;
    std::string pending_line_;
    std::uint32_t modelled_length_ = 0;
    bool replace_trims_ = false;
    std::uint32_t overall_ = 0;
    std::uint32_t task_ = 0;
    int percent_ = 0;  // of the run, only rising
    std::chrono::steady_clock::time_point progress_started_{};
    bool progress_seen_ = false;
    std::vector<std::size_t> drawn_lengths_;  // the status lines on screen
    std::chrono::steady_clock::time_point last_drawn_{};
    std::chrono::steady_clock::time_point last_plain_output_{};
    std::vector<std::string> devices_;
    int selection_ = -1;
    bool write_notice_given_ = false;
    bool information_ = false;
    bool warning_or_error_ = false;
    RunReport report_;
};
