#include "core/autostart.h"

#include "core/atomic_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string_view>
#include <system_error>

namespace autostart {
namespace {

namespace fs = std::filesystem;

/// First absolute entry of a colon-separated list of folders.
std::optional<fs::path> firstAbsolute(const char *list) {
    std::string_view rest = list ? list : "";
    while (!rest.empty()) {
        const auto colon = rest.find(':');
        const std::string_view entry = rest.substr(0, colon);
        if (!entry.empty() && entry.front() == '/') {
            return fs::path(entry);
        }
        if (colon == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(colon + 1);
    }
    return std::nullopt;
}

constexpr const char *EntryName = "Perstando";

fs::path userEntry() {
    fs::path folder;
    if (const auto home = firstAbsolute(std::getenv("XDG_CONFIG_HOME"))) {
        folder = *home / "autostart";
    } else {
        const char *userHome = std::getenv("HOME");
        folder = fs::path(userHome ? userHome : "/") / ".config" / "autostart";
    }
    return folder / (std::string(EntryName) + ".desktop");
}

/// Where earlier versions put the entry: the system's autostart folder.
fs::path systemEntry() {
    return firstAbsolute(std::getenv("XDG_CONFIG_DIRS")).value_or("/etc/xdg") / "autostart" /
           (std::string(EntryName) + ".desktop");
}

/// The program path as one Exec= argument: quoted when it holds a reserved
/// character, '%' doubled (field codes), then the string escapes applied.
std::string execArgument(const std::string &program) {
    static constexpr std::string_view reserved = " \t\n\"'\\><~|&;$*?#()`";
    std::string argument;
    if (program.find_first_of(reserved) == std::string::npos) {
        argument = program;
    } else {
        argument = "\"";
        for (const char c : program) {
            if (c == '"' || c == '`' || c == '$' || c == '\\') {
                argument += '\\';
            }
            argument += c;
        }
        argument += '"';
    }
    std::string escaped;
    for (const char c : argument) {
        switch (c) {
        case '%':
            escaped += "%%";
            break;
        case '\\':
            escaped += "\\\\";
            break;
        case '\n':
            escaped += "\\n";
            break;
        case '\t':
            escaped += "\\t";
            break;
        case '\r':
            escaped += "\\r";
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}

Result failure(const fs::path &where, const std::string &why) {
    return {false, where.string() + ": " + why};
}

/// An entry that does not exist is already removed.
Result removeEntry(const fs::path &entry) {
    // Look first: on a read-only file system even removing a missing file fails.
    struct stat info {};
    if (::lstat(entry.c_str(), &info) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            return {true, {}};
        }
        return failure(entry, std::strerror(errno));
    }
    std::error_code ec;
    fs::remove(entry, ec);
    if (ec) {
        return failure(entry, ec.message());
    }
    return {true, {}};
}

bool present(const fs::path &entry) {
    struct stat info {};
    return ::lstat(entry.c_str(), &info) == 0;
}

} // namespace

std::string programCommand(const std::string &executable, const std::string &installed) {
    std::error_code linkError;
    std::error_code programError;
    const fs::path linked = fs::canonical(installed, linkError);
    const fs::path program = fs::canonical(executable, programError);
    return !linkError && !programError && linked == program ? installed : executable;
}

Result enable(const std::string &command) {
    const fs::path entry = userEntry();
    const fs::path folder = entry.parent_path();
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) {
        return failure(folder, ec.message());
    }
    // Asked first for the plain reason: a read-only file system or no rights.
    if (::access(folder.c_str(), W_OK) != 0) {
        return failure(folder, std::strerror(errno));
    }
    std::string content = "[Desktop Entry]\nType=Application\n";
    content += std::string("Name=") + EntryName + "\n";
    content += "Exec=" + execArgument(command) + "\n";
    content += "Terminal=false\n";
    const auto written = core::replaceFileAtomically(entry, content);
    if (!written.ok) {
        return failure(entry, written.error);
    }
    return {true, {}};
}

Result disable() {
    Result removed = removeEntry(userEntry());
    // Only root can take out what earlier versions wrote to the system folder.
    if (removed && ::geteuid() == 0) {
        removed = removeEntry(systemEntry());
    }
    return removed;
}

bool isEnabled() {
    return present(userEntry()) || present(systemEntry());
}

} // namespace autostart
