#pragma once
// The window as the core reaches it on Windows: synchronous messages and
// window functions on the main window's controls, so calls from any thread are
// carried out by the window's thread, in order.
#include <atomic>
#include <cstdint>

#include "window/window_port.h"

class Win32WindowPort final : public WindowPort {
  public:
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

  private:
    // The position each bar was last set to through this port.
    static constexpr std::uint32_t UNKNOWN = UINT32_MAX;
    std::atomic<std::uint32_t> overall_shown_{UNKNOWN};
    std::atomic<std::uint32_t> task_shown_{UNKNOWN};
};
