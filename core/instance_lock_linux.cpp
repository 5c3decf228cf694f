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

struct Candidate {
    std::string path;
    bool create; // whether we may make it
};

void addOnce(std::vector<Candidate> &folders, std::string path, bool create) {
    for (const auto &folder : folders) {
        if (folder.path == path) {
            return;
        }
    }
    folders.push_back({std::move(path), create});
}

/// The folders the lock lives in. Copies of one account started from
/// different environments (the desktop session, cron, a service) must meet in
/// at least one of them, so every usable one of the first group is locked: the
/// session's runtime folder as named and as systemd lays it out, and one of
/// our own in the temporary folder as named and in /tmp. The cache folder of
/// our home stands in only when none of those can be had (another account
/// took the temporary folder's name).
std::vector<Candidate> candidateFolders() {
    std::vector<Candidate> folders;
    const std::string uid = std::to_string(::geteuid());
    if (auto runtime = absoluteVariable("XDG_RUNTIME_DIR"); !runtime.empty()) {
        addOnce(folders, std::move(runtime), false);
    }
    addOnce(folders, "/run/user/" + uid, false);
    if (auto temporary = absoluteVariable("TMPDIR"); !temporary.empty()) {
        addOnce(folders, temporary + "/perstando-" + uid, true);
    }
    addOnce(folders, "/tmp/perstando-" + uid, true);
    return folders;
}

std::string cacheFolder() {
    std::string cache = absoluteVariable("XDG_CACHE_HOME");
    if (auto home = absoluteVariable("HOME"); cache.empty() && !home.empty()) {
        cache = home + "/.cache";
    }
    if (cache.empty()) {
        return {};
    }
    ::mkdir(cache.c_str(), 0700); // the cache folder of a fresh account may not exist yet
    return cache + "/perstando";
}

/// Made when `create` allows, then checked as any other.
int openFolder(const std::string &path, bool create) {
    if (create) {
        ::mkdir(path.c_str(), 0700);
    }
    return InstanceLock::openPrivateFolder(path);
}

/// A listening socket at `name` in the folder, or -1. Only the lock's holder
/// gets here, so whatever sits at the name is a dead holder's and goes.
int listenAt(int folderFd, const std::string &folder, const std::string &name) {
    ::unlinkat(folderFd, name.c_str(), 0);
    const std::string path = InstanceLock::socketAddress(folderFd, folder, name);
    if (path.empty()) {
        return -1;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
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

std::string stemOf(const std::string &key) {
    std::error_code ec;
    auto canonical = std::filesystem::weakly_canonical(key, ec).string();
    if (ec) {
        canonical = key;
    }
    char stem[64];
    std::snprintf(stem, sizeof stem, "perstando-%016llx",
                  static_cast<unsigned long long>(fnv1a(canonical)));
    return stem;
}

} // namespace

std::vector<InstanceLock::SocketPlace> InstanceLock::socketPlaces(const std::string &key) {
    // Where a holder may listen, in the order it chooses: the socket sits in
    // the first folder it could lock.
    const std::string name = stemOf(key) + ".socket";
    std::vector<SocketPlace> places;
    for (auto &candidate : candidateFolders()) {
        places.push_back({std::move(candidate.path), name});
    }
    if (auto cache = cacheFolder(); !cache.empty()) {
        places.push_back({std::move(cache), name});
    }
    return places;
}

int InstanceLock::openPrivateFolder(const std::string &folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || info.st_uid != ::geteuid() || (info.st_mode & 077) != 0) {
        const int error = info.st_uid != ::geteuid() ? EACCES : EPERM;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

std::string InstanceLock::socketAddress(int folderFd, const std::string &folder,
                                        const std::string &name) {
    constexpr std::size_t room = sizeof(sockaddr_un::sun_path);
    std::string path = folder + "/" + name;
    if (path.size() >= room) {
        path = "/proc/self/fd/" + std::to_string(folderFd) + "/" + name;
    }
    return path.size() < room ? path : std::string();
}

InstanceLock::~InstanceLock() {
    release();
}

void InstanceLock::release() {
    if (socket_ >= 0) {
        // Before the lock goes, so that the socket a next holder makes stays.
        ::unlink(socketPath_.c_str());
        ::close(socket_);
        socket_ = -1;
        socketPath_.clear();
    }
    for (const int fd : locks_) {
        ::close(fd);
    }
    locks_.clear();
}

bool InstanceLock::tryAcquire(const std::string &key) {
    if (!locks_.empty()) {
        return true;
    }
    const std::string stem = stemOf(key);
    const std::string lockName = stem + ".lock";
    const std::string socketName = stem + ".socket";

    enum class Outcome { Held, Taken, Unusable };
    auto lockIn = [&](const std::string &folder, bool create) {
        const int folderFd = openFolder(folder, create);
        if (folderFd < 0) {
            return Outcome::Unusable;
        }
        const int fd =
            ::openat(folderFd, lockName.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            ::close(folderFd);
            return Outcome::Unusable;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            ::close(fd);
            ::close(folderFd);
            return error == EWOULDBLOCK ? Outcome::Taken : Outcome::Unusable;
        }
        locks_.push_back(fd);
        if (socket_ < 0) {
            // The first folder holds the socket, where commands look first.
            socket_ = listenAt(folderFd, folder, socketName);
            socketPath_ = folder + "/" + socketName;
        }
        ::close(folderFd);
        return Outcome::Held;
    };
    auto giveUp = [this] {
        release();
        return false; // another copy of ours holds it
    };

    for (const auto &candidate : candidateFolders()) {
        if (lockIn(candidate.path, candidate.create) == Outcome::Taken) {
            return giveUp();
        }
    }
    if (locks_.empty()) {
        if (const auto cache = cacheFolder(); !cache.empty()) {
            if (lockIn(cache, true) == Outcome::Taken) {
                return giveUp();
            }
        }
    }
    if (!locks_.empty()) {
        return true;
    }
    // No private folder to lock in: better a second copy than no watchdog.
    std::fprintf(stderr, "no private folder for the single-instance lock: a second copy will "
                         "not be noticed\n");
    return true;
}

} // namespace core
