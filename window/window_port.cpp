#include "window/window_port.h"

#include <atomic>

namespace {

class DiscardingWindowPort final : public WindowPort {
public:
    std::uint32_t log_text_length() override { return 0; }
    void log_set_selection(int, int) override {}
    void log_replace_selection(const char*) override {}
    void log_set_text(const char*) override {}
    void progress_set(int, std::uint32_t) override {}
    void control_enable(int, bool) override {}
    void menu_item_enable(int, bool) override {}
    // The selection is kept, so that commands find the instrument they restarted.
    void device_combo_reset() override { items_ = 0; selection_ = -1; }
    void device_combo_append(const char*) override { ++items_; }
    void device_combo_select(int index) override { selection_ = index < items_ ? index : -1; }
    int device_combo_selection() override { return selection_; }
    void message_box(const char*, MessageIcon) override {}

private:
    std::atomic<int> items_{0};
    std::atomic<int> selection_{-1};
};

DiscardingWindowPort discarding_port;
WindowPort* installed_port = &discarding_port;

}  // namespace

void window_port_install(WindowPort* port) {
    installed_port = port != nullptr ? port : &discarding_port;
}

WindowPort& window_port() { return *installed_port; }
