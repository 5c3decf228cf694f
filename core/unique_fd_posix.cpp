#include "core/unique_fd.h"

#include <fcntl.h>
#include <unistd.h>

namespace core {

void UniqueFd::reset(int fd) noexcept {
    const int old = std::exchange(fd_, fd);
    // Not retried on EINTR: on Linux the descriptor is gone either way.
    if (old >= 0 && old != fd) {
        ::close(old);
    }
}

UniqueFd UniqueFd::duplicate() const noexcept {
    // 3 and up: never one of the standard streams that happened to be closed.
    return UniqueFd(fd_ < 0 ? -1 : ::fcntl(fd_, F_DUPFD_CLOEXEC, 3));
}

} // namespace core
