#pragma once
// The argument vector execv wants for the command-line program under test:
// its path, then the arguments. The words must outlive the vector.
#include <string>
#include <vector>

inline std::vector<std::string> program_words(const char* program,
                                              const std::vector<std::string>& arguments) {
    std::vector<std::string> words{program};
    words.insert(words.end(), arguments.begin(), arguments.end());
    return words;
}

inline std::vector<char*> exec_argv(std::vector<std::string>& words) {
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    return argv;
}
