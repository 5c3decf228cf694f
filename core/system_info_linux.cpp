#include "core/system_info.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

namespace core {
namespace {

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

std::string systemInfoTool() {
    const char *path = std::getenv("PATH");
    return findSystemInfoProgram(path ? path : "");
}

} // namespace core
