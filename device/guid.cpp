// Parsing of an interface class GUID written as "{8-4-4-4-12}".
#include "device/usb.h"

namespace {

constexpr int GUID_GROUP_DIGITS[5] = {8, 4, 4, 4, 12};

int hex_digit_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

void store_guid(const std::uint64_t (&groups)[5], Guid* guid) {
    guid->data1 = static_cast<std::uint32_t>(groups[0]);
    guid->data2 = static_cast<std::uint16_t>(groups[1]);
    guid->data3 = static_cast<std::uint16_t>(groups[2]);
    guid->data4[0] = static_cast<std::uint8_t>(groups[3] >> 8);
    guid->data4[1] = static_cast<std::uint8_t>(groups[3]);
    for (int i = 0; i < 6; ++i) {
        guid->data4[2 + i] = static_cast<std::uint8_t>(groups[4] >> (8 * (5 - i)));
    }
}

}  // namespace

int _parse_guid(const char* text, Guid* guid) {
    if (text == nullptr || guid == nullptr) {
        return -1;
    }
    if (text[0] == '\0') {
        return -9;  // the empty text ends before its closing brace
    }
    if (text[0] != '{') {
        return -2;
    }
    std::uint64_t groups[5] = {};
    int group = 0;
    int digits = 0;
    const char* position = text + 1;
    for (;; ++position) {
        const char c = *position;
        if (c == '\0') {
            return -9;
        }
        const int value = hex_digit_value(c);
        if (value >= 0) {
            if (digits == GUID_GROUP_DIGITS[group]) {
                return -7;
            }
            groups[group] = groups[group] * 16 + static_cast<std::uint64_t>(value);
            ++digits;
            continue;
        }
        if (c != '-' && c != '}') {
            return -6;
        }
        if (digits != GUID_GROUP_DIGITS[group]) {
            return -3;
        }
        if (c == '-') {
            if (group == 4) {
                return -4;
            }
            ++group;
            digits = 0;
            continue;
        }
        if (group != 4) {
            return -5;
        }
        break;
    }
    if (position[1] != '\0') {
        return -8;
    }
    store_guid(groups, guid);
    return 0;
}
