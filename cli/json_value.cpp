#include "cli/json_value.h"

#include <cmath>
#include <cstdlib>
#include <limits>

// A recursive descent over the text, every read bounded by its end.
class JsonReader {
public:
    explicit JsonReader(std::string_view text) : text_(text) {}

    std::optional<JsonValue> document() {
        JsonValue value;
        skip_space();
        if (!read_value(value, 0)) {
            return std::nullopt;
        }
        skip_space();
        return at_ == text_.size() ? std::optional<JsonValue>(std::move(value)) : std::nullopt;
    }

private:
    bool more() const { return at_ < text_.size(); }
    char peek() const { return more() ? text_[at_] : '\0'; }

    void skip_space() {
        while (more() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r')) {
            ++at_;
        }
    }

    bool take(char expected) {
        if (!more() || text_[at_] != expected) {
            return false;
        }
        ++at_;
        return true;
    }

    bool take_word(std::string_view word) {
        if (text_.substr(at_, word.size()) != word) {
            return false;
        }
        at_ += word.size();
        return true;
    }

    bool read_value(JsonValue& value, int depth) {
        switch (peek()) {
            case '{': return depth < JSON_MAX_DEPTH && read_object(value, depth + 1);
            case '[': return depth < JSON_MAX_DEPTH && read_array(value, depth + 1);
            case '"': value.kind_ = JsonValue::Kind::string; return read_string(value.text_);
            case 't': value.kind_ = JsonValue::Kind::boolean; value.boolean_ = true; return take_word("true");
            case 'f': value.kind_ = JsonValue::Kind::boolean; return take_word("false");
            case 'n': value.kind_ = JsonValue::Kind::null; return take_word("null");
            default: return read_number(value);
        }
    }

    bool read_object(JsonValue& value, int depth) {
        value.kind_ = JsonValue::Kind::object;
        ++at_;  // '{'
        skip_space();
        if (take('}')) {
            return true;
        }
        while (true) {
            std::string name;
            JsonValue member;
            skip_space();
            if (!read_string(name)) {
                return false;
            }
            skip_space();
            if (!take(':')) {
                return false;
            }
            skip_space();
            if (!read_value(member, depth)) {
                return false;
            }
            value.names_.push_back(std::move(name));
            value.items_.push_back(std::move(member));
            skip_space();
            if (take('}')) {
                return true;
            }
            if (!take(',')) {
                return false;
            }
        }
    }

    bool read_array(JsonValue& value, int depth) {
        value.kind_ = JsonValue::Kind::array;
        ++at_;  // '['
        skip_space();
        if (take(']')) {
            return true;
        }
        while (true) {
            JsonValue item;
            skip_space();
            if (!read_value(item, depth)) {
                return false;
            }
            value.items_.push_back(std::move(item));
            skip_space();
            if (take(']')) {
                return true;
            }
            if (!take(',')) {
                return false;
            }
        }
    }

    // Four hexadecimal digits.
    bool read_hex4(unsigned& code) {
        if (text_.size() - at_ < 4) {
            return false;
        }
        code = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = text_[at_++];
            const int digit = c >= '0' && c <= '9'   ? c - '0'
                              : c >= 'a' && c <= 'f' ? c - 'a' + 10
                              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                     : -1;
            if (digit < 0) {
                return false;
            }
            code = code * 16 + static_cast<unsigned>(digit);
        }
        return true;
    }

    // \uXXXX (a pair of them for a code point beyond the first plane) as UTF-8.
    // The history writes a byte outside ASCII as \u00XX: below 0x100 the byte
    // itself comes back.
    bool read_code_point(std::string& out) {
        unsigned code = 0;
        if (!read_hex4(code)) {
            return false;
        }
        if (code >= 0xD800 && code < 0xDC00) {
            unsigned low = 0;
            if (!take_word("\\u") || !read_hex4(low) || low < 0xDC00 || low >= 0xE000) {
                return false;
            }
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        } else if (code >= 0xDC00 && code < 0xE000) {
            return false;
        }
        if (code < 0x100) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
        return true;
    }

    bool read_escape(std::string& out) {
        if (!more()) {
            return false;
        }
        const char c = text_[at_++];
        switch (c) {
            case '"': case '\\': case '/': out += c; return true;
            case 'b': out += '\b'; return true;
            case 'f': out += '\f'; return true;
            case 'n': out += '\n'; return true;
            case 'r': out += '\r'; return true;
            case 't': out += '\t'; return true;
            case 'u': return read_code_point(out);
            default: return false;
        }
    }

    bool read_string(std::string& out) {
        if (!take('"')) {
            return false;
        }
        while (more()) {
            const char c = text_[at_++];
            if (c == '"') {
                return true;
            }
            if (static_cast<unsigned char>(c) < 0x20) {
                return false;
            }
            if (c == '\\') {
                if (!read_escape(out)) {
                    return false;
                }
            } else {
                out += c;
            }
        }
        return false;  // the text ended inside the string
    }

    std::size_t digits() {
        const std::size_t first = at_;
        while (more() && text_[at_] >= '0' && text_[at_] <= '9') {
            ++at_;
        }
        return at_ - first;
    }

    // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
    bool read_number(JsonValue& value) {
        const std::size_t first = at_;
        take('-');
        if (peek() == '0') {
            ++at_;
        } else if (digits() == 0) {
            return false;
        }
        if (take('.') && digits() == 0) {
            return false;
        }
        if (peek() == 'e' || peek() == 'E') {
            ++at_;
            if (!take('+')) {
                take('-');
            }
            if (digits() == 0) {
                return false;
            }
        }
        const std::string number(text_.substr(first, at_ - first));
        value.kind_ = JsonValue::Kind::number;
        value.number_ = std::strtod(number.c_str(), nullptr);
        return true;
    }

    std::string_view text_;
    std::size_t at_ = 0;
};

const JsonValue* JsonValue::member(std::string_view key) const {
    if (kind_ != Kind::object) {
        return nullptr;
    }
    for (std::size_t i = 0; i < names_.size(); ++i) {
        if (names_[i] == key) {
            return &items_[i];
        }
    }
    return nullptr;
}

std::optional<JsonValue> json_parse(std::string_view text) {
    return JsonReader(text).document();
}

std::optional<std::string> json_text(const JsonValue& object, std::string_view key) {
    const JsonValue* value = object.member(key);
    if (value == nullptr || !value->is(JsonValue::Kind::string)) {
        return std::nullopt;
    }
    return value->text();
}

std::optional<int> json_int(const JsonValue& object, std::string_view key) {
    const JsonValue* value = object.member(key);
    if (value == nullptr || !value->is(JsonValue::Kind::number)) {
        return std::nullopt;
    }
    const double number = value->number();
    if (!std::isfinite(number) || std::floor(number) != number ||
        number < std::numeric_limits<int>::min() || number > std::numeric_limits<int>::max()) {
        return std::nullopt;
    }
    return static_cast<int>(number);
}
