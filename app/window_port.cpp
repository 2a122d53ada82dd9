#include "app/app.h"

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
    void device_combo_reset() override {}
    void device_combo_append(const char*) override {}
    void device_combo_select(int) override {}
    int device_combo_selection() override { return -1; }
    void message_box(const char*, MessageIcon) override {}
};

DiscardingWindowPort discarding_port;
WindowPort* installed_port = &discarding_port;

}  // namespace

void window_port_install(WindowPort* port) {
    installed_port = port != nullptr ? port : &discarding_port;
}

WindowPort& window_port() { return *installed_port; }
