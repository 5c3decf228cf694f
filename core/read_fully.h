#pragma once
// Reading a descriptor until a buffer is full or the data ends.

#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace core {

/// Reads into `buf` until `size` bytes arrived, the data ended or an error
/// occurred (interrupted reads are retried); returns the bytes read.
inline std::size_t readFully(int fd, char *buf, std::size_t size) {
    std::size_t total = 0;
    while (total < size) {
        const ssize_t n = ::read(fd, buf + total, size - total);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        total += static_cast<std::size_t>(n);
    }
    return total;
}

} // namespace core
