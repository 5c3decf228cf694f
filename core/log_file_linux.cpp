#include "core/log_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace core {

namespace {

/// Writes all of `entry`; false at the first error.
bool writeWhole(int fd, std::string_view entry) {
    while (!entry.empty()) {
        const auto n = ::write(fd, entry.data(), entry.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        entry.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

} // namespace

bool appendLogLines(const std::string &path, const std::vector<std::string> &lines) {
    if (path.empty()) {
        return false;
    }
    std::string entry;
    for (const auto &line : lines) {
        entry += line;
        entry += '\n';
    }
    // Only a regular file is a log: a FIFO without a reader (or with one that
    // stopped) would hold every later check in open or write, and opening a
    // device can do things of its own. Looked at before opening, and the
    // descriptor once more, without blocking, should the path change between.
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
        return false;
    }
    const int fd = ::open(path.c_str(),
                          O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
    if (fd < 0) {
        return false;
    }
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return false;
    }
    // An entry is written whole or not at all: a write cut short by a full disk
    // is taken back, so the next entry never continues a cut one's line.
    const bool written = writeWhole(fd, entry);
    if (!written) {
        [[maybe_unused]] const int undone = ::ftruncate(fd, info.st_size);
    }
    return ::close(fd) == 0 && written;
}

} // namespace core
