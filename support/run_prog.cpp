#include "support/run_prog.h"

std::string commandLineText(const char* const argv[]) { return commandLineText(argvWords(argv)); }

std::string commandLineText(const std::vector<std::string>& words) {
    std::string text;
    for (size_t i = 0; i < words.size(); ++i) {
        if (i) text += ' ';
        text += words[i];
    }
    return text;
}

std::vector<std::string> argvWords(const char* const argv[]) {
    std::vector<std::string> words;
    for (int i = 0; argv && argv[i]; ++i) words.push_back(argv[i]);
    return words;
}
