#include "core/environment_file.h"

#include "core/file_trust.h"
#include "core/regular_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace core {
namespace {

bool validName(std::string_view name) {
    if (name.empty() || (name.front() >= '0' && name.front() <= '9')) {
        return false;
    }
    for (const char c : name) {
        const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        if (!letter && c != '_' && !(c >= '0' && c <= '9')) {
            return false;
        }
    }
    return true;
}

EnvironmentFile refused(std::string reason) {
    EnvironmentFile result;
    result.refusal = std::move(reason);
    return result;
}

} // namespace

EnvironmentFile parseEnvironment(std::string_view text, const std::string &name) {
    EnvironmentFile result;
    std::size_t number = 0;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        ++number;
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        const std::size_t first = line.find_first_not_of(" \t");
        if (first == std::string_view::npos || line[first] == '#') {
            continue;
        }
        line.remove_prefix(first);
        const std::size_t equals = line.find('=');
        const std::string where = name + " line " + std::to_string(number) + ": ";
        if (equals == std::string_view::npos) {
            return refused(where + "no NAME=value");
        }
        if (!validName(line.substr(0, equals))) {
            return refused(where + "\"" + std::string(line.substr(0, equals)) +
                           "\" is no variable name");
        }
        // A NUL would end the value early where the program reads it.
        if (line.find('\0') != std::string_view::npos) {
            return refused(where + "holds a NUL character");
        }
        result.variables.emplace_back(line);
    }
    return result;
}

EnvironmentFile readEnvironmentFile(const std::filesystem::path &file) {
    const std::string name = file.string();
    RegularFileOptions options;
    options.check = [&name](const struct stat &info) -> std::string {
        if (info.st_uid != ::geteuid()) {
            return name + " belongs to another user (uid " + std::to_string(info.st_uid) +
                   "); it must be yours";
        }
        if ((info.st_mode & 077) != 0) {
            return name + " can be read or changed by other users (mode " + modeText(info.st_mode) +
                   "); chmod 600 " + name;
        }
        return {};
    };
    RegularFileRead read = readRegularFile(file, MaxEnvironmentFileBytes, options);
    using Status = RegularFileRead::Status;
    switch (read.status) {
    case Status::Read:
        return parseEnvironment(read.data, name);
    case Status::Missing:
        return refused(name + " does not exist");
    case Status::SymbolicLink:
    case Status::Directory:
    case Status::NotRegular:
        return refused(name + " is not a regular file");
    case Status::Refused:
        return refused(read.refusal);
    case Status::TooLarge:
        return refused(name + " is larger than " + std::to_string(MaxEnvironmentFileBytes) +
                       " bytes");
    case Status::Unreadable:
        break;
    }
    return refused(name + ": " + read.errorText());
}

} // namespace core
