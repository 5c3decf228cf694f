// Plain sockets, so that a command needs neither Qt nor a display and ends
// within a few milliseconds.

#include "core/command_channel.h"

#include "core/instance_lock.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace core::commands {
namespace {

/// Connected to the socket at `path`, or -1 with errno set.
int connectTo(const std::string &path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

} // namespace

Answer send(const std::string &key, const std::string &request) {
    int fd = -1;
    bool denied = false;
    for (const auto &path : InstanceLock::socketPaths(key)) {
        fd = connectTo(path);
        if (fd >= 0) {
            break;
        }
        // A folder we may not enter is another account's copy, not ours.
        denied = denied || errno == EACCES || errno == EPERM;
    }
    if (fd < 0) {
        return denied ? Answer{Outcome::Refused,
                               "permission denied: the socket belongs to another account"}
                      : Answer{};
    }
    // A copy that hangs must not hang the shell that asked.
    timeval limit{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    std::string received;
    // A copy that refuses at once (another account, too many clients) may
    // have closed before the request went: its reply is read all the same.
    write(fd, request + "\n");
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        received.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fd);
    const auto end = received.find('\n');
    const std::string status = received.substr(0, end);
    std::string text = end == std::string::npos ? std::string() : received.substr(end + 1);
    if (status == "ok") {
        return {Outcome::Done, std::move(text)};
    }
    if (status == "refused") {
        return {Outcome::Refused, std::move(text)};
    }
    return {Outcome::Refused, "no answer from the running copy"};
}

std::string reply(bool ok, const std::string &text) {
    return (ok ? "ok\n" : "refused\n") + text;
}

int accept(int listeningFd) {
    return ::accept4(listeningFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
}

bool peerTrusted(int fd) {
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
        return false;
    }
    return peer.uid == ::geteuid() || peer.uid == 0;
}

Read readRequest(int fd, std::string &buffer) {
    char chunk[512];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return errno == EAGAIN || errno == EWOULDBLOCK ? Read::More : Read::Closed;
        }
        if (n == 0) {
            return Read::Closed;
        }
        buffer.append(chunk, static_cast<std::size_t>(n));
        if (const auto end = buffer.find('\n'); end != std::string::npos) {
            buffer.resize(end);
            return Read::Line;
        }
        if (buffer.size() > MaxRequest) {
            return Read::TooLong;
        }
    }
}

bool write(int fd, const std::string &data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false; // full, or the peer left
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace core::commands
