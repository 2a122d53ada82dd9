// The command-line front end. For now it loads the embedded image set by the
// program's own start-up rules and prints the catalogue.
#include <cstdio>

#include "app/app.h"
#include "app/images.h"
#include "resources/embedded_image_set.h"

namespace {

class TerminalMessages final : public WindowPort {
public:
    std::uint32_t log_text_length() override { return 0; }
    void log_set_selection(int, int) override {}
    void log_replace_selection(const char* text) override { std::fputs(text, stdout); }
    void log_set_text(const char* text) override { std::fputs(text, stdout); }
    void progress_set(int, std::uint32_t) override {}
    void control_enable(int, bool) override {}
    void menu_item_enable(int, bool) override {}
    void device_combo_reset() override {}
    void device_combo_append(const char*) override {}
    void device_combo_select(int) override {}
    int device_combo_selection() override { return -1; }
    void message_box(const char* text, MessageIcon icon) override {
        const char* prefix = icon == MessageIcon::error     ? "error: "
                             : icon == MessageIcon::warning ? "warning: "
                                                            : "";
        std::fprintf(stderr, "%s%s\n", prefix, text);
    }
};

void print_catalogue() {
    std::printf("%-4s  %-26s  %10s\n", "id", "role", "bytes");
    for (int id = IMAGE_ID_FIRST; id <= IMAGE_ID_LAST; ++id) {
        std::printf("%-4d  %-26s  %10d\n", id, image_role(id), firmware_image(id).length);
    }
    const AvailableVersions versions = available_versions();
    std::printf("\nVersions available\n");
    std::printf("  FPGA rev:      %u\n", versions.fpga_revision);
    std::printf("  Firmware rev:  %u\n", versions.firmware_revision);
    std::printf("  USB rev:       %s\n", versions.usb_revision);
    std::printf("  Power rev:     %.6s\n", versions.power_revision);
}

}  // namespace

int main() {
    TerminalMessages messages;
    if (!startup_load_images(embedded_image_source(), messages)) {
        return 1;
    }
    print_catalogue();
    return 0;
}
