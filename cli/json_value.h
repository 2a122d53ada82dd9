#pragma once
// A JSON text read into values: for the lines of the run history, which
// another process, a full disk or an editor may have left damaged. Nothing
// but a whole, valid JSON text is read; anything else is no value at all.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class JsonValue {
public:
    enum class Kind { null, boolean, number, string, array, object };

    Kind kind() const { return kind_; }
    bool is(Kind kind) const { return kind_ == kind; }

    // The member named key of an object; nullptr when there is none (or this
    // is no object).
    const JsonValue* member(std::string_view key) const;
    const std::vector<JsonValue>& items() const { return items_; }  // an array's
    const std::string& text() const { return text_; }               // a string's
    double number() const { return number_; }
    bool boolean() const { return boolean_; }

private:
    friend class JsonReader;

    Kind kind_ = Kind::null;
    bool boolean_ = false;
    double number_ = 0;
    std::string text_;
    std::vector<JsonValue> items_;      // an array's values, or an object's members' values
    std::vector<std::string> names_;    // an object's members' names, beside items_
};

// The value of text, which must be one JSON value and nothing else but
// white space; nullopt when it is not. Arrays and objects nest at most
// JSON_MAX_DEPTH deep.
std::optional<JsonValue> json_parse(std::string_view text);
constexpr int JSON_MAX_DEPTH = 16;

// The member's text when it is a string; nullopt otherwise (missing, null or
// another kind).
std::optional<std::string> json_text(const JsonValue& object, std::string_view key);
// The member's value when it is a whole number within int's range.
std::optional<int> json_int(const JsonValue& object, std::string_view key);
