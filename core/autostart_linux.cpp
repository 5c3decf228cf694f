#include "core/autostart.h"

#include "core/atomic_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string_view>
#include <system_error>

namespace Module6 {
namespace {

namespace fs = std::filesystem;

bool sameKey(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

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

fs::path autostartFolder(RootKey root) {
    if (root == RootKey::LocalMachine) {
        return firstAbsolute(std::getenv("XDG_CONFIG_DIRS")).value_or("/etc/xdg") / "autostart";
    }
    if (const auto home = firstAbsolute(std::getenv("XDG_CONFIG_HOME"))) {
        return *home / "autostart";
    }
    const char *userHome = std::getenv("HOME");
    return fs::path(userHome ? userHome : "/") / ".config" / "autostart";
}

// The Windows Run value becomes a desktop entry of the same name. Its two
// Windows-only cases have no counterpart here: a desktop entry has no 32-bit
// number values (so nothing is ever stored as a number), and no 1,024-byte
// query buffer limits what can be rewritten.
std::optional<fs::path> entryFor(RootKey root, const std::string &subkey,
                                 const std::string &valueName, std::string *reason) {
    auto fail = [&](const std::string &why) -> std::optional<fs::path> {
        if (reason) {
            *reason = why;
        }
        return std::nullopt;
    };
    if (!sameKey(subkey, RunKey)) {
        return fail("The registry key " + subkey + " has no counterpart on this system.");
    }
    if (valueName.empty() || valueName.find('/') != std::string::npos || valueName == "." ||
        valueName == "..") {
        return fail("\"" + valueName + "\" cannot name an autostart entry.");
    }
    return autostartFolder(root) / (valueName + ".desktop");
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

bool failWith(std::string *reason, const fs::path &where, const std::string &why) {
    if (reason) {
        *reason = where.string() + ": " + why;
    }
    return false;
}

} // namespace

bool SetRegValue(RootKey root, const std::string &subkey, const std::string &valueName,
                 const std::string &value, std::string *reason) {
    const auto entry = entryFor(root, subkey, valueName, reason);
    if (!entry) {
        return false;
    }
    std::error_code ec;
    fs::create_directories(entry->parent_path(), ec);
    if (ec) {
        return failWith(reason, entry->parent_path(), ec.message());
    }
    // Asked first for the plain reason: a read-only file system or no rights.
    if (::access(entry->parent_path().c_str(), W_OK) != 0) {
        return failWith(reason, entry->parent_path(), std::strerror(errno));
    }
    std::string content = "[Desktop Entry]\nType=Application\n";
    content += "Name=" + valueName + "\n";
    content += "Exec=" + execArgument(value) + "\n";
    content += "Terminal=false\n";
    const auto written = core::replaceFileAtomically(*entry, content);
    if (!written.ok) {
        return failWith(reason, *entry, written.error);
    }
    return true;
}

bool DeleteRegValue(RootKey root, const std::string &subkey, const std::string &valueName,
                    std::string *reason) {
    const auto entry = entryFor(root, subkey, valueName, reason);
    if (!entry) {
        return false;
    }
    // Look first: on a read-only file system even removing a missing file fails.
    struct stat info {};
    if (::lstat(entry->c_str(), &info) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            return true;
        }
        return failWith(reason, *entry, std::strerror(errno));
    }
    std::error_code ec;
    fs::remove(*entry, ec);
    if (ec) {
        return failWith(reason, *entry, ec.message());
    }
    return true;
}

} // namespace Module6
