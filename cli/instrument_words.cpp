#include "cli/instrument_words.h"

#include <array>
#include <cctype>
#include <utility>

namespace {

constexpr std::array<std::pair<std::string_view, std::string_view>, 4> WORDS = {{
    {"devices", "instruments"},
    {"Devices", "Instruments"},
    {"device", "instrument"},
    {"Device", "Instrument"},
}};

bool word_character(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
}

// The replacement of the word that begins at `at`, if one does and ends there too.
const std::pair<std::string_view, std::string_view>* word_at(std::string_view text, std::size_t at) {
    if (at > 0 && word_character(text[at - 1])) {
        return nullptr;
    }
    for (const auto& word : WORDS) {
        const std::size_t end = at + word.first.size();
        if (text.substr(at, word.first.size()) == word.first &&
            (end == text.size() || !word_character(text[end]))) {
            return &word;
        }
    }
    return nullptr;
}

}  // namespace

std::string in_instrument_words(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        if (const auto* word = word_at(text, i)) {
            out += word->second;
            i += word->first.size();
        } else {
            out += text[i++];
        }
    }
    return out;
}
