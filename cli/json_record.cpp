#include "cli/json_record.h"

#include <cstdio>

JsonRecord::JsonRecord(const char* type) : body_("{\"type\":" + json_string(type)) {}

void JsonRecord::key(const char* name) {
    body_ += ',';
    body_ += json_string(name);
    body_ += ':';
}

JsonRecord& JsonRecord::add(const char* name, std::string_view text) {
    key(name);
    body_ += json_string(text);
    return *this;
}

JsonRecord& JsonRecord::add(const char* name, long long number) {
    key(name);
    body_ += std::to_string(number);
    return *this;
}

JsonRecord& JsonRecord::add(const char* name, bool value) {
    key(name);
    body_ += value ? "true" : "false";
    return *this;
}

JsonRecord& JsonRecord::add_json(const char* name, const std::string& json) {
    key(name);
    body_ += json;
    return *this;
}

std::string json_string(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (byte < 0x20 || byte >= 0x7F) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
                    out += escaped;
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

std::string json_array(const std::vector<std::string>& values) {
    std::string out = "[";
    for (std::size_t i = 0; i < values.size(); ++i) {
        out += (i == 0 ? "" : ",") + values[i];
    }
    return out + "]";
}
