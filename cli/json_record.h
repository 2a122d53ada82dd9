#pragma once
// One line of the --json output: an object whose first field is "type".
#include <string>
#include <string_view>
#include <vector>

class JsonRecord {
public:
    explicit JsonRecord(const char* type);

    JsonRecord& add(const char* key, std::string_view text);
    JsonRecord& add(const char* key, const char* text) { return add(key, std::string_view(text)); }
    JsonRecord& add(const char* key, long long number);
    JsonRecord& add(const char* key, int number) { return add(key, static_cast<long long>(number)); }
    JsonRecord& add(const char* key, bool value);
    // A value already in JSON (an array or an object).
    JsonRecord& add_json(const char* key, const std::string& json);

    std::string text() const { return body_ + "}"; }

private:
    void key(const char* name);
    std::string body_;
};

// A JSON string literal of text: quotes and control characters escaped, bytes
// outside ASCII as \u00XX (the texts are ASCII; a device's stray byte still
// gives valid JSON).
std::string json_string(std::string_view text);

// "[a,b,...]" of values already in JSON.
std::string json_array(const std::vector<std::string>& values);
