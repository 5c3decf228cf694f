#include "core/log_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace core {

bool appendLogLines(const std::string &path, const std::vector<std::string> &lines) {
    if (path.empty()) {
        return false;
    }
    std::string entry;
    for (const auto &line : lines) {
        entry += line;
        entry += '\n';
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd < 0) {
        return false;
    }
    // One write per entry keeps entries whole even when two writers append at once.
    std::string_view rest = entry;
    bool ok = true;
    while (!rest.empty()) {
        const auto n = ::write(fd, rest.data(), rest.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            ok = false;
            break;
        }
        rest.remove_prefix(static_cast<std::size_t>(n));
    }
    return ::close(fd) == 0 && ok;
}

} // namespace core
