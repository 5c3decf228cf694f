#include "core/program_folder.h"

#include <mutex>
#include <system_error>

namespace core {
namespace {

std::string &overrideFolder() {
    static std::string folder;
    return folder;
}

std::string executableFolder() {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) {
        return std::filesystem::current_path(ec).string();
    }
    return exe.parent_path().string();
}

} // namespace

std::string programFolder() {
    if (!overrideFolder().empty()) {
        return overrideFolder();
    }
    // The executable does not move while it runs.
    static const std::string folder = executableFolder();
    return folder;
}

std::string settingsPath() {
    return programFolder() + "/settings.ini";
}

void setProgramFolderOverride(const std::string &folder) {
    std::string trimmed = folder;
    while (trimmed.size() > 1 && trimmed.back() == '/') {
        trimmed.pop_back();
    }
    overrideFolder() = trimmed;
}

} // namespace core
