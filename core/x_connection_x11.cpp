// Bounded X connections over xcb. A local display (":N") is reached through a
// socket we connect ourselves, after checking who owns and who listens on it,
// and handed to xcb with the user's authorization; any other display name is
// left to xcb_connect. Either way the handshake runs on a detached worker
// thread, since a server that takes the connection may never answer it.

#include "core/x_connection.h"

#include <X11/Xauth.h>
#include <xcb/xcb.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

namespace xconnection {

namespace {

using Clock = std::chrono::steady_clock;

/// How long a caller waits for a server to answer the handshake.
constexpr auto HandshakeWait = std::chrono::milliseconds(500);
/// When an unanswered handshake is given up and tried afresh.
constexpr auto GiveUpAfter = std::chrono::seconds(5);

bool trusted(uid_t owner) {
    return owner == 0 || owner == ::geteuid();
}

/// A connected socket to `address`, without waiting, when root or this user
/// listens on it; -1 otherwise (nothing there, a full queue, someone else).
int connectTrusted(const sockaddr_un &address, socklen_t length) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return -1;
    }
    ucred peer{};
    socklen_t peerLength = sizeof peer;
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), length) != 0 ||
        ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &peerLength) != 0 || !trusted(peer.uid)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

/// The socket of local display `number`: the abstract one first, as xcb
/// tries, then the file, which must itself be root's or ours.
int connectLocal(int number) {
    const std::string path = "/tmp/.X11-unix/X" + std::to_string(number);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() + 1 >= sizeof address.sun_path) {
        return -1;
    }
    // Abstract: a leading NUL, and the length says where the name ends.
    std::memcpy(address.sun_path + 1, path.data(), path.size());
    const auto abstractLength =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + path.size());
    if (const int fd = connectTrusted(address, abstractLength); fd >= 0) {
        return fd;
    }
    struct stat file {};
    if (::lstat(path.c_str(), &file) != 0 || !S_ISSOCK(file.st_mode) || !trusted(file.st_uid)) {
        return -1;
    }
    address.sun_path[0] = '\0';
    std::memcpy(address.sun_path, path.data(), path.size() + 1);
    return connectTrusted(address, sizeof address);
}

/// The MIT-MAGIC-COOKIE-1 of local display `number` from the user's
/// authority file, as xcb_connect would send it; empty when there is none.
std::optional<std::pair<std::string, std::string>> localAuthorization(int number) {
    char host[HOST_NAME_MAX + 1] = {};
    if (::gethostname(host, sizeof host - 1) != 0) {
        return std::nullopt;
    }
    const std::string display = std::to_string(number);
    static const char cookie[] = "MIT-MAGIC-COOKIE-1";
    char *names[] = {const_cast<char *>(cookie)};
    int lengths[] = {static_cast<int>(std::strlen(cookie))};
    Xauth *auth = ::XauGetBestAuthByAddr(FamilyLocal, std::strlen(host), host, display.size(),
                                         display.c_str(), 1, names, lengths);
    if (!auth) {
        return std::nullopt;
    }
    std::pair<std::string, std::string> found{std::string(auth->name, auth->name_length),
                                              std::string(auth->data, auth->data_length)};
    ::XauDisposeAuth(auth);
    return found;
}

} // namespace

struct Connector::Attempt {
    Attempt() = default;
    Attempt(const Attempt &) = delete;
    Attempt &operator=(const Attempt &) = delete;
    ~Attempt() {
        if (connection) {
            xcb_disconnect(connection);
        }
        if (socketCopy >= 0) {
            ::close(socketCopy);
        }
    }

    /// Runs on the worker: the handshake, however long it takes.
    void run(const std::string &name, int fd,
             std::optional<std::pair<std::string, std::string>> auth) {
        int number = 0;
        xcb_connection_t *c = nullptr;
        if (fd >= 0) {
            xcb_auth_info_t info{};
            if (auth) {
                info.namelen = static_cast<int>(auth->first.size());
                info.name = auth->first.data();
                info.datalen = static_cast<int>(auth->second.size());
                info.data = auth->second.data();
            }
            c = xcb_connect_to_fd(fd, auth ? &info : nullptr);
        } else {
            c = xcb_connect(name.c_str(), &number);
        }
        if (xcb_connection_has_error(c)) {
            xcb_disconnect(c);
            c = nullptr;
        }
        const std::lock_guard lock(mutex);
        connection = c;
        if (fd < 0) {
            screen = number;
        }
        done = true;
        finished.notify_all();
    }

    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    xcb_connection_t *connection = nullptr;
    int screen = 0;
    /// Our own descriptor of the socket xcb was handed: shutting it down ends
    /// a handshake that hangs, and it cannot be a reused number meanwhile.
    int socketCopy = -1;
    Clock::time_point started = Clock::now();
};

Connector::Connector(std::string display) : display_(std::move(display)) {}

Connector::~Connector() {
    if (pending_ && pending_->socketCopy >= 0) {
        ::shutdown(pending_->socketCopy, SHUT_RDWR);
    }
}

std::shared_ptr<Connector::Attempt> Connector::start() {
    std::string name = display_;
    if (name.empty()) {
        const char *variable = std::getenv("DISPLAY");
        name = variable ? variable : "";
    }
    char *host = nullptr;
    int number = 0;
    int screen = 0;
    if (name.empty() || !xcb_parse_display(name.c_str(), &host, &number, &screen)) {
        return nullptr;
    }
    const std::string hostName = host;
    std::free(host);
    auto attempt = std::make_shared<Attempt>();
    attempt->screen = screen;
    int fd = -1;
    std::optional<std::pair<std::string, std::string>> auth;
    if (hostName.empty() || hostName == "unix") {
        fd = connectLocal(number);
        if (fd < 0) {
            return nullptr;
        }
        attempt->socketCopy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
        // Read here: the worker must not touch the environment.
        auth = localAuthorization(number);
    }
    try {
        std::thread([attempt, name, fd, auth] { attempt->run(name, fd, auth); }).detach();
    } catch (const std::system_error &) {
        ::close(fd);
        return nullptr;
    }
    return attempt;
}

xcb_connection_t *Connector::take(int &screen) {
    std::unique_lock lock(pending_->mutex);
    if (!pending_->done) {
        if (Clock::now() - pending_->started >= GiveUpAfter && pending_->socketCopy >= 0) {
            ::shutdown(pending_->socketCopy, SHUT_RDWR);
        }
        return nullptr;
    }
    xcb_connection_t *c = std::exchange(pending_->connection, nullptr);
    screen = pending_->screen;
    lock.unlock();
    pending_.reset();
    return c;
}

xcb_connection_t *Connector::connect(int &screen) {
    if (pending_) {
        if (xcb_connection_t *c = take(screen)) {
            unanswered_ = false;
            return c;
        }
        if (pending_) {
            return nullptr;
        }
    }
    pending_ = start();
    if (!pending_) {
        return nullptr;
    }
    if (!unanswered_) {
        std::unique_lock lock(pending_->mutex);
        pending_->finished.wait_for(lock, HandshakeWait, [&] { return pending_->done; });
    }
    xcb_connection_t *c = take(screen);
    unanswered_ = pending_ != nullptr;
    return c;
}

} // namespace xconnection

namespace xconnection {

namespace {

struct FreeReply {
    void operator()(void *reply) const { std::free(reply); }
};

} // namespace

Connection::Connection(std::string display, std::vector<std::string> atoms)
    : connector_(std::move(display)), names_(std::move(atoms)) {}

Connection::~Connection() {
    closing_ = nullptr;
    close();
}

bool Connection::ready() {
    return keep() || open();
}

bool Connection::keep() {
    if (c_ && xcb_connection_has_error(c_)) {
        close();
    }
    return c_ != nullptr;
}

bool Connection::open() {
    int screenNumber = 0;
    xcb_connection_t *fresh = connector_.connect(screenNumber);
    if (!fresh) {
        return false;
    }
    xcb_intern_atom_cookie_t *ewmhCookies = xcb_ewmh_init_atoms(fresh, &ewmh_);
    std::vector<xcb_intern_atom_cookie_t> cookies;
    cookies.reserve(names_.size());
    for (const std::string &name : names_) {
        cookies.push_back(
            xcb_intern_atom(fresh, 0, static_cast<std::uint16_t>(name.size()), name.c_str()));
    }
    // On failure the replies function has already released what init allocated.
    const bool ewmhOk = ewmhCookies && xcb_ewmh_init_atoms_replies(&ewmh_, ewmhCookies, nullptr);
    bool atomsOk = true;
    for (std::size_t i = 0; i < names_.size(); ++i) {
        const std::unique_ptr<xcb_intern_atom_reply_t, FreeReply> reply(
            xcb_intern_atom_reply(fresh, cookies[i], nullptr));
        atomsOk = atomsOk && reply;
        if (reply) {
            atoms_[names_[i]] = reply->atom;
        }
    }
    if (!ewmhOk || !atomsOk || screenNumber >= ewmh_.nb_screens) {
        if (ewmhOk) {
            xcb_ewmh_connection_wipe(&ewmh_);
        }
        atoms_.clear();
        xcb_disconnect(fresh);
        return false;
    }
    c_ = fresh;
    screen_ = screenNumber;
    root_ = ewmh_.screens[screenNumber]->root;
    if (opened_ && !opened_()) {
        close();
        return false;
    }
    return true;
}

void Connection::close() {
    if (!c_) {
        return;
    }
    if (closing_) {
        closing_();
    }
    xcb_ewmh_connection_wipe(&ewmh_);
    xcb_disconnect(c_);
    c_ = nullptr;
    root_ = XCB_NONE;
    atoms_.clear();
}

xcb_atom_t Connection::atom(std::string_view name) {
    if (!c_) {
        return XCB_NONE;
    }
    const std::string key(name);
    if (const auto known = atoms_.find(key); known != atoms_.end()) {
        return known->second;
    }
    const std::unique_ptr<xcb_intern_atom_reply_t, FreeReply> reply(xcb_intern_atom_reply(
        c_, xcb_intern_atom(c_, 0, static_cast<std::uint16_t>(key.size()), key.c_str()), nullptr));
    if (!reply) {
        return XCB_NONE;
    }
    return atoms_[key] = reply->atom;
}

} // namespace xconnection
