#include "core/program_folder.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <system_error>

namespace core {
namespace {

std::string &overrideFolder() {
    static std::string folder;
    return folder;
}

std::string executableFolder() {
    std::error_code ec;
    // The kernel's link names the real file, links already resolved.
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) {
        return std::filesystem::current_path(ec).string();
    }
    return exe.parent_path().string();
}

bool within(const std::string &folder, std::string_view tree) {
    return folder == tree ||
           (folder.size() > tree.size() && folder.compare(0, tree.size(), tree) == 0 &&
            folder[tree.size()] == '/');
}

/// Whether this user may keep files in `folder`. access() answers for ordinary
/// users, ACLs included; root passes it everywhere but on a read-only file
/// system, so for root a folder without any write bit counts as read-only too.
bool userMayWrite(const std::string &folder) {
    if (::faccessat(AT_FDCWD, folder.c_str(), W_OK, AT_EACCESS) != 0) {
        return false;
    }
    if (::geteuid() != 0) {
        return true;
    }
    struct stat info {};
    return ::stat(folder.c_str(), &info) == 0 &&
           (info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0;
}

/// A copy the package manager put under /usr keeps its folder as shipped,
/// even for root, who could write there.
bool installedByPackage(const std::string &folder) {
    return within(folder, "/usr") && !within(folder, "/usr/local");
}

std::string homeFolder() {
    const char *home = std::getenv("HOME");
    if (home && home[0] == '/') {
        return home;
    }
    const passwd *entry = ::getpwuid(::geteuid());
    return entry && entry->pw_dir ? entry->pw_dir : "/";
}

/// $XDG_CONFIG_HOME/perstando; a relative value counts as none, as an
/// empty or missing one (the XDG base directory rules).
std::string userConfigFolder() {
    const char *config = std::getenv("XDG_CONFIG_HOME");
    std::string base = config && config[0] == '/' ? std::string(config) : homeFolder() + "/.config";
    while (base.size() > 1 && base.back() == '/') {
        base.pop_back();
    }
    return (base == "/" ? "" : base) + "/perstando";
}

std::string chosenSettingsFolder() {
    std::string data = dataFolder();
    if (userMayWrite(data) && !installedByPackage(data)) {
        return data;
    }
    return userConfigFolder();
}

} // namespace

std::string dataFolder() {
    if (!overrideFolder().empty()) {
        return overrideFolder();
    }
    // The executable does not move while it runs.
    static const std::string folder = executableFolder();
    return folder;
}

std::string settingsFolder() {
    if (!overrideFolder().empty()) {
        return overrideFolder();
    }
    // Decided once: a folder that turns writable later must not split the
    // settings of one run over two files.
    static const std::string folder = chosenSettingsFolder();
    return folder;
}

std::string settingsPath() {
    return settingsFolder() + "/settings.ini";
}

std::string prepareSettingsFolder() {
    const std::string folder = settingsFolder();
    if (folder == dataFolder()) {
        return {};
    }
    // Each missing level is made private, as the XDG base directory rules
    // ask; levels that exist keep the modes their owner gave them.
    struct stat info {};
    std::filesystem::path level;
    for (const auto &part : std::filesystem::path(folder)) {
        level /= part;
        if (::stat(level.c_str(), &info) != 0 && ::mkdir(level.c_str(), 0700) != 0 &&
            errno != EEXIST) {
            return level.string() + ": " + std::strerror(errno);
        }
    }
    if (::stat(folder.c_str(), &info) != 0) {
        return folder + ": " + std::strerror(errno);
    }
    if (!S_ISDIR(info.st_mode)) {
        return folder + ": " + std::strerror(ENOTDIR);
    }
    return {};
}

void setProgramFolderOverride(const std::string &folder) {
    std::string trimmed = folder;
    while (trimmed.size() > 1 && trimmed.back() == '/') {
        trimmed.pop_back();
    }
    overrideFolder() = trimmed;
}

} // namespace core
