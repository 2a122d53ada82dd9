#include "win32/dialog_template.h"

namespace win32_test {

namespace {

constexpr std::uint16_t DIALOGEX_SIGNATURE = 0xFFFF;
constexpr std::uint16_t ORDINAL_MARK = 0xFFFF;

// Every read is checked against the end of the resource.
class TemplateReader {
  public:
    explicit TemplateReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    bool ok() const { return ok_; }

    std::uint16_t word() {
        if (!has(2)) {
            return 0;
        }
        const auto value = static_cast<std::uint16_t>(bytes_[at_] | bytes_[at_ + 1] << 8);
        at_ += 2;
        return value;
    }

    std::uint32_t dword() {
        const std::uint32_t low = word();
        return low | static_cast<std::uint32_t>(word()) << 16;
    }

    short coordinate() { return static_cast<short>(word()); }

    void skip(std::size_t count) {
        if (has(count)) {
            at_ += count;
        }
    }

    void align_dword() { skip((4 - at_ % 4) % 4); }

    // A zero-terminated UTF-16 string, kept as its low bytes (the texts are ASCII).
    std::string text() {
        std::string value;
        while (ok_) {
            const std::uint16_t unit = word();
            if (unit == 0) {
                break;
            }
            value += static_cast<char>(unit & 0xFF);
        }
        return value;
    }

    // A string or an ordinal, which comes back as "#number".
    std::string text_or_ordinal() {
        if (!has(2)) {
            return {};
        }
        if ((bytes_[at_] | bytes_[at_ + 1] << 8) == ORDINAL_MARK) {
            word();
            std::string ordinal(1, '#');
            ordinal += std::to_string(word());
            return ordinal;
        }
        return text();
    }

  private:
    bool has(std::size_t count) {
        ok_ = ok_ && at_ + count <= bytes_.size();
        return ok_;
    }

    std::span<const std::uint8_t> bytes_;
    std::size_t at_ = 0;
    bool ok_ = true;
};

std::string predefined_class(const std::string& name) {
    static const char* const NAMES[] = {"Button",  "Edit",      "Static",
                                        "ListBox", "ScrollBar", "ComboBox"};
    if (name.size() > 1 && name[0] == '#') {
        const int ordinal = std::stoi(name.substr(1)) - 0x80;
        if (ordinal >= 0 && ordinal < 6) {
            return NAMES[ordinal];
        }
    }
    return name;
}

RECT read_units(TemplateReader& reader) {
    RECT units;
    units.left = reader.coordinate();
    units.top = reader.coordinate();
    units.right = reader.coordinate();
    units.bottom = reader.coordinate();
    return units;
}

TemplateItem read_item(TemplateReader& reader) {
    reader.align_dword();
    TemplateItem item;
    reader.dword();  // help id
    item.extended_style = reader.dword();
    item.style = reader.dword();
    item.units = read_units(reader);
    item.id = static_cast<int>(reader.dword());
    item.class_name = predefined_class(reader.text_or_ordinal());
    item.text = reader.text_or_ordinal();
    reader.skip(reader.word());  // creation data
    return item;
}

}  // namespace

std::optional<DialogTemplate> parse_dialog_template(std::span<const std::uint8_t> bytes) {
    TemplateReader reader(bytes);
    DialogTemplate dialog;
    const std::uint16_t version = reader.word();
    if (version != 1 || reader.word() != DIALOGEX_SIGNATURE) {
        return std::nullopt;
    }
    reader.dword();  // help id
    reader.dword();  // extended style
    dialog.style = reader.dword();
    const std::uint16_t item_count = reader.word();
    dialog.units = read_units(reader);
    reader.text_or_ordinal();  // menu
    reader.text_or_ordinal();  // window class
    dialog.caption = reader.text();
    if ((dialog.style & DS_SETFONT) != 0) {
        dialog.font_points = reader.word();
        reader.word();   // weight
        reader.skip(2);  // italic, character set
        dialog.font_face = reader.text();
    }
    for (int i = 0; i < item_count && reader.ok(); ++i) {
        dialog.items.push_back(read_item(reader));
    }
    if (!reader.ok()) {
        return std::nullopt;
    }
    return dialog;
}

std::optional<DialogTemplate> load_dialog_template(int id) {
    HRSRC resource = FindResourceA(nullptr, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(5));
    if (resource == nullptr) {
        return std::nullopt;
    }
    const auto* bytes =
        static_cast<const std::uint8_t*>(LockResource(LoadResource(nullptr, resource)));
    if (bytes == nullptr) {
        return std::nullopt;
    }
    return parse_dialog_template({bytes, SizeofResource(nullptr, resource)});
}

}  // namespace win32_test
