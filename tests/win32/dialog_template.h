#pragma once
// Reads a DIALOGEX template as the executable carries it, so tests can check
// what the dialog manager is given before controls adjust their own styles.
#include <windows.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace win32_test {

struct TemplateItem {
    int id = 0;
    std::string class_name;  // predefined classes by name ("Button", "Static", ...)
    std::string text;        // an ordinal (a picture's resource id) as "#id"
    DWORD style = 0;
    DWORD extended_style = 0;
    RECT units{};  // left, top, width, height in dialog units
};

struct DialogTemplate {
    DWORD style = 0;
    RECT units{};
    std::string caption;
    int font_points = 0;
    std::string font_face;
    std::vector<TemplateItem> items;
};

// nullopt when the bytes are not a whole DIALOGEX template.
std::optional<DialogTemplate> parse_dialog_template(std::span<const std::uint8_t> bytes);

// The executable's own dialog resource.
std::optional<DialogTemplate> load_dialog_template(int id);

}  // namespace win32_test
