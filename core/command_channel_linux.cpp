// Plain sockets, so that a command needs neither Qt nor a display and ends
// within a few milliseconds.

#include "core/command_channel.h"

#include "core/instance_lock.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace core::commands {
namespace {

using Clock = std::chrono::steady_clock;

/// Bounds the next blocking call on `fd` by what is left until `deadline`;
/// false when nothing is left.
bool boundBy(int fd, Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
        return false;
    }
    const timeval limit{static_cast<time_t>(left / 1000000),
                        static_cast<suseconds_t>(left % 1000000)};
    return ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) == 0 &&
           ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) == 0;
}

enum class Reach { Connected, Absent, Denied, Stuck };

/// Connects to `place` as the holder listens there, in a folder it would use
/// and to a peer of our account; the socket in `fd` when Connected.
Reach connectTo(const InstanceLock::SocketPlace &place, Clock::time_point deadline,
                UniqueFd &connection) {
    const UniqueFd folderFd(InstanceLock::openPrivateFolder(place.folder));
    if (!folderFd) {
        return errno == EACCES ? Reach::Denied : Reach::Absent;
    }
    const std::string path = InstanceLock::socketAddress(folderFd.get(), place.folder, place.name);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int fd = socket.get();
    // A copy that never accepts leaves us waiting in connect() once its queue
    // is full: the send timeout bounds that wait too.
    Reach reach = Reach::Absent;
    if (fd >= 0 && !path.empty() && boundBy(fd, deadline)) {
        if (::connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0) {
            reach = peerTrusted(fd) ? Reach::Connected : Reach::Denied;
        } else if (errno == EAGAIN || errno == EINPROGRESS || errno == EINTR) {
            reach = Reach::Stuck;
        } else if (errno == EACCES || errno == EPERM) {
            reach = Reach::Denied;
        }
    }
    if (reach == Reach::Connected) {
        connection = std::move(socket);
    }
    return reach;
}

Answer noAnswer() {
    return {Outcome::Refused, "no answer from the running copy"};
}

} // namespace

Answer send(const std::string &key, const std::string &request) {
    // The whole exchange, connecting included: a hung copy must not hang the
    // shell that asked.
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    UniqueFd connection;
    bool denied = false;
    for (const auto &place : InstanceLock::socketPlaces(key)) {
        const Reach reach = connectTo(place, deadline, connection);
        if (reach == Reach::Connected) {
            break;
        }
        if (reach == Reach::Stuck) {
            return noAnswer();
        }
        // Another account's folder or listener is not our copy; ours may
        // still listen further on.
        denied = denied || reach == Reach::Denied;
    }
    if (!connection) {
        return denied ? Answer{Outcome::Refused,
                               "permission denied: the socket belongs to another account"}
                      : Answer{};
    }
    const int fd = connection.get();
    std::string received;
    // A copy that refuses at once (too many clients) may have closed before
    // the request went: its reply is read all the same.
    if (boundBy(fd, deadline)) {
        write(fd, request + "\n");
    }
    char chunk[4096];
    bool complete = false;
    while (boundBy(fd, deadline)) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        // A copy that closed without reading our request resets the
        // connection after its reply; only a timeout leaves the reply cut.
        complete = n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
        if (n <= 0) {
            break;
        }
        received.append(chunk, static_cast<std::size_t>(n));
    }
    connection.reset();
    if (!complete) {
        return noAnswer();
    }
    const auto end = received.find('\n');
    const std::string status = received.substr(0, end);
    std::string text = end == std::string::npos ? std::string() : received.substr(end + 1);
    if (status == "ok") {
        return {Outcome::Done, std::move(text)};
    }
    if (status == "refused") {
        return {Outcome::Refused, std::move(text)};
    }
    return noAnswer();
}

std::string visible(const std::string &text) {
    std::string shown;
    char escape[8];
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const auto next = [&](std::size_t k) {
            return i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0;
        };
        if (c == '\n') {
            shown += '\n';
        } else if (c < 0x20 || c == 0x7f) {
            std::snprintf(escape, sizeof escape, "\\x%02x", c);
            shown += escape;
        } else if (c == 0xc2 && next(1) >= 0x80 && next(1) <= 0x9f) { // U+0080 to U+009F
            std::snprintf(escape, sizeof escape, "\\u%04x", next(1));
            shown += escape;
            i += 1;
        } else if (c == 0xe2 && next(1) == 0x80 && (next(2) == 0xa8 || next(2) == 0xa9)) {
            shown += next(2) == 0xa8 ? "\\u2028" : "\\u2029";
            i += 2;
        } else {
            shown += static_cast<char>(c);
        }
    }
    return shown;
}

std::string reply(bool ok, const std::string &text) {
    return (ok ? "ok\n" : "refused\n") + text;
}

UniqueFd accept(int listeningFd) {
    return UniqueFd(::accept4(listeningFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
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
