#include "core/system_info.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace core {
namespace {

bool equalsIgnoringCase(const std::string &a, const std::string &b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

bool isExecutableFile(const std::string &file) {
    struct stat info {};
    return ::stat(file.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           ::access(file.c_str(), X_OK) == 0;
}

std::vector<std::string> searchFolders(const std::string &searchPath) {
    std::vector<std::string> folders;
    std::size_t start = 0;
    while (start <= searchPath.size()) {
        const std::size_t end = std::min(searchPath.find(':', start), searchPath.size());
        // An empty entry would mean the current folder; a tool is never taken from there.
        if (end > start) {
            folders.push_back(searchPath.substr(start, end - start));
        }
        start = end + 1;
    }
    return folders;
}

} // namespace

std::string findSystemInfoProgram(const std::string &searchPath) {
    const auto folders = searchFolders(searchPath);
    for (const auto &program : systemInfoPrograms()) {
        for (const auto &folder : folders) {
            std::string candidate = folder;
            if (candidate.back() != '/') {
                candidate += '/';
            }
            candidate += program;
            if (isExecutableFile(candidate)) {
                return candidate;
            }
        }
    }
    return {};
}

std::optional<RegistryValue> readRegistryValue(RegistryRoot root, const std::string &keyName,
                                               const std::string &valueName) {
    if (root != RegistryRoot::LocalMachine ||
        !equalsIgnoringCase(keyName, "SOFTWARE\\Microsoft\\Shared Tools\\MSINFO") ||
        !equalsIgnoringCase(valueName, "path")) {
        return std::nullopt;
    }
    const char *path = std::getenv("PATH");
    std::string program = findSystemInfoProgram(path ? path : "");
    if (program.empty()) {
        return std::nullopt;
    }
    return RegistryValue{REG_SZ, std::move(program)};
}

} // namespace core
