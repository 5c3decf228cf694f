// The lock lives in a folder only this account can enter, so no other account
// can hold it for us (an abstract socket name, by contrast, is open to anyone
// who binds it first). The lock itself is flock() on a file there, which the
// kernel releases however the holder dies; the holder then listens on a socket
// beside it, which a killed holder leaves behind and the next holder replaces.

#include "core/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

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

std::string absoluteVariable(const char *name) {
    const char *value = std::getenv(name);
    return value && value[0] == '/' ? std::string(value) : std::string();
}

/// The folders the lock may live in, most fitting first: the session's
/// runtime folder, then one of our own in the temporary folder, then one in
/// the cache folder of our home, for when another account took the name of
/// the second.
std::vector<std::pair<std::string, bool>> candidateFolders() {
    std::vector<std::pair<std::string, bool>> folders; // path, whether we may create it
    if (auto runtime = absoluteVariable("XDG_RUNTIME_DIR"); !runtime.empty()) {
        folders.emplace_back(std::move(runtime), false);
    }
    std::string temporary = absoluteVariable("TMPDIR");
    if (temporary.empty()) {
        temporary = "/tmp";
    }
    folders.emplace_back(temporary + "/perstando-" + std::to_string(::geteuid()), true);
    std::string cache = absoluteVariable("XDG_CACHE_HOME");
    if (auto home = absoluteVariable("HOME"); cache.empty() && !home.empty()) {
        cache = home + "/.cache";
    }
    if (!cache.empty()) {
        ::mkdir(cache.c_str(), 0700); // the cache folder of a fresh account may not exist yet
        folders.emplace_back(cache + "/perstando", true);
    }
    return folders;
}

/// The folder opened, when it is a real folder (no link) of ours that nobody
/// else may enter or change; else -1.
int openPrivateFolder(const std::string &path, bool create) {
    if (create) {
        ::mkdir(path.c_str(), 0700); // an existing one is checked like any other
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || info.st_uid != ::geteuid() || (info.st_mode & 077) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

/// A listening socket at `name` in the folder, or -1. Only the lock's holder
/// gets here, so whatever sits at the name is a dead holder's and goes.
int listenAt(int folderFd, const std::string &folder, const std::string &name) {
    ::unlinkat(folderFd, name.c_str(), 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string path = folder + "/" + name;
    if (path.size() >= sizeof addr.sun_path) {
        // Too long for a socket address: the same file through our descriptor.
        path = "/proc/self/fd/" + std::to_string(folderFd) + "/" + name;
        if (path.size() >= sizeof addr.sun_path) {
            return -1;
        }
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0 ||
        ::listen(fd, 8) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

InstanceLock::~InstanceLock() {
    if (socket_ >= 0) {
        // Before the lock goes, so that the socket a next holder makes stays.
        ::unlink(socketPath_.c_str());
        ::close(socket_);
    }
    if (lock_ >= 0) {
        ::close(lock_);
    }
}

bool InstanceLock::tryAcquire(const std::string &key) {
    if (lock_ >= 0) {
        return true;
    }
    std::error_code ec;
    auto canonical = std::filesystem::weakly_canonical(key, ec).string();
    if (ec) {
        canonical = key;
    }
    char stem[64];
    std::snprintf(stem, sizeof stem, "perstando-%016llx",
                  static_cast<unsigned long long>(fnv1a(canonical)));
    const std::string lockName = std::string(stem) + ".lock";
    const std::string socketName = std::string(stem) + ".socket";

    for (const auto &[folder, create] : candidateFolders()) {
        const int folderFd = openPrivateFolder(folder, create);
        if (folderFd < 0) {
            continue;
        }
        const int fd =
            ::openat(folderFd, lockName.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            ::close(folderFd);
            continue;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            ::close(fd);
            ::close(folderFd);
            if (error == EWOULDBLOCK) {
                return false; // another copy of ours holds it
            }
            continue;
        }
        lock_ = fd;
        socket_ = listenAt(folderFd, folder, socketName);
        socketPath_ = folder + "/" + socketName;
        ::close(folderFd);
        return true;
    }
    // No private folder to lock in: better a second copy than no watchdog.
    std::fprintf(stderr, "no private folder for the single-instance lock: a second copy will "
                         "not be noticed\n");
    return true;
}

} // namespace core
