// The command-line side of the launcher: how a typed command line becomes a
// program, its arguments and a working directory. The start itself is the
// platform's (launcher_<platform>.cpp).

#include "core/launcher.h"

#include <filesystem>
#include <system_error>

namespace launcher {

std::vector<std::string> splitCommandLine(const std::string &line) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    bool quoted = false;
    for (const char c : line) {
        if (c == '"') {
            quoted = !quoted;
            inWord = true; // "" is an empty word
        } else if (!quoted && (c == ' ' || c == '\t')) {
            if (inWord) {
                words.push_back(std::move(word));
                word.clear();
                inWord = false;
            }
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) {
        words.push_back(std::move(word));
    }
    return words;
}

CommandParts splitCommand(std::string &commandLine, const std::optional<std::string> &directory) {
    // `end` is the index just past the program.
    std::size_t end = std::string::npos;
    if (!commandLine.empty() && commandLine.front() == '"') {
        const auto close = commandLine.find('"', 1);
        if (close != std::string::npos) {
            commandLine = commandLine.substr(1, close - 1) + commandLine.substr(close + 1);
            end = close - 1;
        }
        // Without a closing quote the whole line, quote included, is the program.
    } else {
        end = commandLine.find(' ');
    }
    if (end == std::string::npos) {
        end = commandLine.size();
    }

    CommandParts parts;
    parts.program = commandLine.substr(0, end);
    const auto firstArgument = commandLine.find_first_not_of(' ', end);
    if (firstArgument != std::string::npos) {
        parts.arguments = commandLine.substr(firstArgument);
    }

    constexpr char separator = std::filesystem::path::preferred_separator;
    if (directory) {
        parts.directory = *directory;
    } else if (const auto sep = parts.program.rfind(separator); sep == std::string::npos) {
        std::error_code ec;
        parts.directory = std::filesystem::current_path(ec).string();
    } else if (sep == 0) {
        parts.directory = std::string(1, separator); // a program directly under the root
    } else {
        parts.directory = parts.program.substr(0, sep);
    }
    return parts;
}

bool runCommandLine(std::string &commandLine, const std::optional<std::string> &directory) {
    const CommandParts parts = splitCommand(commandLine, directory);
    if (start(parts.program, parts.arguments, parts.directory).ok()) {
        return true;
    }
    const auto words = splitCommandLine(commandLine);
    return !words.empty() && startDirect(words).ok();
}

} // namespace launcher
