#pragma once
// The window, as a terminal shows it: log lines on standard output as they
// complete, warnings and errors on standard error, the two bars redrawn in
// place on a terminal that takes escape codes (below the log, or on standard
// error when only that is a terminal), a progress line now and then
// otherwise; or, for scripts, one JSON record per event.
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "cli/display_settings.h"
#include "cli/json_record.h"
#include "cli/line_output.h"
#include "cli/terminal_bars.h"
#include "cli/write_notice.h"
#include "sequence/item_report.h"
#include "window/window_port.h"

class TerminalPort final : public WindowPort {
public:
    TerminalPort(DisplaySettings settings, DisplayEnvironment environment);
    // The bars and the lines hold on to this port's settings and environment.
    TerminalPort(const TerminalPort&) = delete;
    TerminalPort& operator=(const TerminalPort&) = delete;

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

    // An item event as it happens (on the worker's thread): its JSON record,
    // and the write notice as the first write begins.
    void show_item(const ItemEvent& event);

    // A line of the program's own result (list, versions, the table) on
    // standard output; in JSON mode, the record instead.
    void result(const std::string& text, const JsonRecord& record);
    // An error of the program's own (not the core's): standard error, or a
    // message record.
    void error(const std::string& text);
    // One USB request, for --verbose.
    void usb_detail(const std::string& text, const JsonRecord& record);

    std::vector<std::string> devices() const;
    bool json() const { return settings_.style == TerminalStyle::json; }

    // Ends the display: any unfinished line, the bars cleared.
    void finish();
    // Runs action with the display held: no line is being written meanwhile,
    // and the bars are cleared first. For the end at once.
    void run_alone(const std::function<void()>& action);

private:
    void append_text(const char* text);
    void end_line();

    mutable std::mutex mutex_;
    const DisplaySettings settings_;
    const DisplayEnvironment environment_;
    TerminalBars bars_;
    LineOutput lines_;
    WriteNotice write_notice_;
    std::string pending_line_;
    std::uint32_t modelled_length_ = 0;
    bool replace_trims_ = false;
    std::vector<std::string> devices_;
    int selection_ = -1;
};
