#include "window/log.h"

#include <cstring>

#include "window/window_port.h"

void log_append(const char* text) {
    if (text == nullptr || text[0] == '\0') {
        return;
    }
    WindowPort& port = window_port();
    const auto length = static_cast<unsigned>(std::strlen(text));
    if (length + port.log_text_length() > LOG_TEXT_LIMIT) {
        port.log_set_selection(0, LOG_TRIM_SIZE);
        port.log_replace_selection("");
    }
    // Positions beyond the text put the caret at its end with nothing selected.
    port.log_set_selection(-2, -1);
    port.log_replace_selection(text);
}

void log_end_line() {
    window_port().log_replace_selection("\r\n");
}
