#pragma once
// A WindowPort for tests: models the log as an edit control (text, selection,
// clamping of positions) and keeps every call, in order.
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "window/window_port.h"

class RecordingWindowPort : public WindowPort {
public:
    struct MessageBoxCall {
        std::string text;
        MessageIcon icon;
    };
    struct ProgressCall {
        int control;
        std::uint32_t position;
    };

    std::uint32_t log_text_length() override;
    void log_set_selection(int start, int end) override;
    void log_replace_selection(const char* text) override;
    void log_set_text(const char* text) override;
    void progress_set(int control, std::uint32_t position) override;
    void control_enable(int control, bool enabled) override;
    void menu_item_enable(int command, bool enabled) override;
    void device_combo_reset() override;
    void device_combo_append(const char* text) override;
    void device_combo_select(int index) override;
    int device_combo_selection() override;
    void message_box(const char* text, MessageIcon icon) override;

    // What the window shows now.
    std::string log() const;
    std::uint32_t progress(int control) const;
    std::vector<std::uint32_t> progress_history(int control) const;
    bool enabled(int control_or_command) const;  // controls start enabled unless set
    std::vector<std::string> combo_items() const;
    int combo_selection() const;

    // Every call, for tests of order.
    std::vector<MessageBoxCall> message_boxes;
    std::vector<ProgressCall> progress_calls;
    std::vector<std::string> calls;

private:
    void record(std::string call);

    mutable std::mutex mutex_;
    std::string log_;
    std::size_t selection_start_ = 0;
    std::size_t selection_end_ = 0;
    std::map<int, bool> enabled_;
    std::map<int, std::uint32_t> progress_;
    std::vector<std::string> combo_;
    int combo_selection_ = -1;
};
