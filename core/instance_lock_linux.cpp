#include "core/instance_lock.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace core {
namespace {

std::uint64_t fnv1a(const std::string &text) {
    std::uint64_t hash = 14695981039346656037ull;
    for (const unsigned char c : text) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    return hash;
}

} // namespace

InstanceLock::~InstanceLock() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool InstanceLock::tryAcquire(const std::string &folder) {
    if (fd_ >= 0) {
        return true;
    }
    // An abstract socket name: no file to leave behind, works in a read-only
    // folder, and vanishes with the process.
    std::error_code ec;
    auto canonical = std::filesystem::weakly_canonical(folder, ec).string();
    if (ec) {
        canonical = folder;
    }
    char name[64];
    const int nameLen = std::snprintf(name, sizeof name, "perstando-%016llx",
                                      static_cast<unsigned long long>(fnv1a(canonical)));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path + 1, name, static_cast<std::size_t>(nameLen));
    const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + nameLen);

    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return true; // cannot tell; better a second copy than no watchdog
    }
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&addr), len) != 0) {
        ::close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

} // namespace core
