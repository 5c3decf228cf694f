// Who answers a local TCP port: the listening sockets, asked of the kernel's
// socket diagnostics (only the listening table is walked, however many
// connections the machine holds) or, where that is refused, read from
// /proc/net/tcp and tcp6; then the descriptors that hold them. The /proc
// tables print each 32-bit word of an address as the host reads it, so a word
// copied back into memory gives the bytes in network order on any host.

#include "core/port_owner.h"

#include "core/process_usage.h"
#include "core/read_fully.h"
#include "core/unique_fd.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <climits>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

namespace {

struct Address {
    bool v6 = false;
    std::array<unsigned char, 16> bytes{}; ///< IPv4 in the first four
};

constexpr std::array<unsigned char, 12> MappedPrefix = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

/// An IPv4-mapped IPv6 address reaches IPv4 sockets: it is taken as IPv4.
Address unmapped(Address address) {
    if (address.v6 && std::equal(MappedPrefix.begin(), MappedPrefix.end(), address.bytes.begin())) {
        Address v4;
        std::copy_n(address.bytes.begin() + 12, 4, v4.bytes.begin());
        return v4;
    }
    return address;
}

/// Numeric IPv4 or IPv6 text; brackets and a zone ("%eth0") are allowed.
std::optional<Address> parseAddress(std::string text) {
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']') {
        text = text.substr(1, text.size() - 2);
    }
    if (const auto zone = text.find('%'); zone != std::string::npos) {
        text.resize(zone);
    }
    Address address;
    if (::inet_pton(AF_INET, text.c_str(), address.bytes.data()) == 1) {
        return address;
    }
    address.v6 = true;
    if (::inet_pton(AF_INET6, text.c_str(), address.bytes.data()) == 1) {
        return unmapped(address);
    }
    return std::nullopt;
}

bool isWildcard(const Address &address) {
    const std::size_t size = address.v6 ? 16 : 4;
    return std::all_of(address.bytes.begin(), address.bytes.begin() + size,
                       [](unsigned char byte) { return byte == 0; });
}

/// How well a listener bound to `bound` takes connections to `target`: 0 best
/// (the address itself), then the wildcard of the target's family, then (for
/// IPv4) the IPv6 wildcard of a dual-stack socket; nullopt when it does not.
/// The tables do not say which IPv6 sockets are v6-only; that rank counts only
/// when nothing of the IPv4 family listens, where a v6-only socket would have
/// left the connection refused and this question unasked.
std::optional<int> rank(const Address &bound, const Address &target) {
    const Address local = unmapped(bound);
    if (local.v6 == target.v6) {
        if (local.bytes == target.bytes) {
            return 0;
        }
        return isWildcard(local) ? std::optional<int>(1) : std::nullopt;
    }
    if (!target.v6 && local.v6 && isWildcard(local)) {
        return 2;
    }
    return std::nullopt;
}

struct Listener {
    int rank = 0;
    unsigned uid = 0;
    unsigned long inode = 0;
    bool held = false; ///< found among the descriptors of the tree
};

template <typename T> bool parseNumber(std::string_view text, T &value, int base = 10) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return error == std::errc() && end == text.data() + text.size();
}

/// "HEX:PORT" of one table line into an address and a port.
bool parseEndpoint(std::string_view text, bool v6, Address &address, std::uint16_t &port) {
    const auto colon = text.find(':');
    const std::size_t words = v6 ? 4 : 1;
    if (colon != words * 8 || !parseNumber(text.substr(colon + 1), port, 16)) {
        return false;
    }
    address.v6 = v6;
    for (std::size_t i = 0; i < words; ++i) {
        std::uint32_t word = 0;
        if (!parseNumber(text.substr(i * 8, 8), word, 16)) {
            return false;
        }
        std::memcpy(address.bytes.data() + i * 4, &word, sizeof word);
    }
    return true;
}

/// The blank-separated fields of a line.
std::vector<std::string_view> fields(std::string_view line) {
    std::vector<std::string_view> out;
    std::size_t at = 0;
    while (at < line.size()) {
        at = line.find_first_not_of(' ', at);
        if (at == std::string_view::npos) {
            break;
        }
        const std::size_t end = std::min(line.find(' ', at), line.size());
        out.push_back(line.substr(at, end - at));
        at = end;
    }
    return out;
}

/// Listening sockets on `port` in one table that take connections to `target`.
void readTable(int procFd, const char *table, bool v6, const Address &target, std::uint16_t port,
               std::vector<Listener> &out) {
    const core::UniqueFd fd(::openat(procFd, table, O_RDONLY | O_CLOEXEC));
    if (!fd) {
        return;
    }
    std::string pendingLine;
    char buf[16384];
    for (;;) {
        const std::size_t n = core::readFully(fd.get(), buf, sizeof buf);
        pendingLine.append(buf, n);
        std::size_t start = 0;
        for (std::size_t end; (end = pendingLine.find('\n', start)) != std::string::npos;
             start = end + 1) {
            const auto line = fields(std::string_view(pendingLine).substr(start, end - start));
            // sl local remote st queues timer retransmits uid timeout inode
            Address local;
            std::uint16_t localPort = 0;
            Listener listener;
            if (line.size() < 10 || line[3] != "0A" ||
                !parseEndpoint(line[1], v6, local, localPort) || localPort != port ||
                !parseNumber(line[7], listener.uid) || !parseNumber(line[9], listener.inode)) {
                continue;
            }
            if (const auto how = rank(local, target)) {
                listener.rank = *how;
                out.push_back(listener);
            }
        }
        pendingLine.erase(0, start);
        if (n < sizeof buf) {
            break;
        }
    }
}

/// The listening TCP sockets of `family` on `port` that take connections to
/// `target`, from the kernel's socket diagnostics; false when it would not
/// answer in full (no netlink, a filter), and the /proc tables must do.
bool askKernel(int family, const Address &target, std::uint16_t port, std::vector<Listener> &out) {
    const core::UniqueFd fd(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (!fd) {
        return false;
    }
    struct Request {
        nlmsghdr header;
        inet_diag_req_v2 body;
    } request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.body.sdiag_family = static_cast<std::uint8_t>(family);
    request.body.sdiag_protocol = IPPROTO_TCP;
    request.body.idiag_states = 1U << TCP_LISTEN;
    if (::send(fd.get(), &request, sizeof request, 0) != static_cast<ssize_t>(sizeof request)) {
        return false;
    }
    std::vector<Listener> found;
    alignas(nlmsghdr) char buf[16384];
    for (;;) {
        const ssize_t n = ::recv(fd.get(), buf, sizeof buf, 0);
        if (n <= 0) {
            return false;
        }
        // Walked by hand: the header's length macros compare signed with unsigned.
        auto left = static_cast<std::size_t>(n);
        for (const char *at = buf; left >= sizeof(nlmsghdr);) {
            const auto *header = reinterpret_cast<const nlmsghdr *>(at);
            if (header->nlmsg_len < sizeof(nlmsghdr) || header->nlmsg_len > left) {
                return false;
            }
            const std::size_t step = std::min<std::size_t>(NLMSG_ALIGN(header->nlmsg_len), left);
            at += step;
            left -= step;
            if (header->nlmsg_type == NLMSG_DONE) {
                out.insert(out.end(), found.begin(), found.end());
                return true;
            }
            if (header->nlmsg_type == NLMSG_ERROR ||
                header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) {
                return false;
            }
            const auto *socket = reinterpret_cast<const inet_diag_msg *>(
                reinterpret_cast<const char *>(header) + NLMSG_HDRLEN);
            if (ntohs(socket->id.idiag_sport) != port) {
                continue;
            }
            Address local;
            local.v6 = socket->idiag_family == AF_INET6;
            std::memcpy(local.bytes.data(), socket->id.idiag_src, local.v6 ? 16 : 4);
            if (const auto how = rank(local, target)) {
                found.push_back({*how, socket->idiag_uid, socket->idiag_inode, false});
            }
        }
    }
}

/// Every listener of `port` that takes connections to `target`.
std::vector<Listener> listenersOf(int procFd, const Address &target, std::uint16_t port) {
    std::vector<Listener> listeners;
    if (askKernel(AF_INET, target, port, listeners) &&
        askKernel(AF_INET6, target, port, listeners)) {
        return listeners;
    }
    listeners.clear();
    readTable(procFd, "net/tcp", false, target, port, listeners);
    readTable(procFd, "net/tcp6", true, target, port, listeners);
    return listeners;
}

std::string_view fileName(std::string_view path) {
    const auto slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

/// The inode of a "socket:[N]" link; 0 for anything else.
unsigned long socketInode(std::string_view link) {
    constexpr std::string_view prefix = "socket:[";
    unsigned long inode = 0;
    if (link.size() > prefix.size() + 1 && link.starts_with(prefix) && link.back() == ']') {
        parseNumber(link.substr(prefix.size(), link.size() - prefix.size() - 1), inode);
    }
    return inode;
}

/// Calls `found(listener)` for each listener whose socket process `pid`
/// holds; a process whose descriptors cannot be read holds nothing.
template <typename Found>
void scanDescriptors(int procFd, int pid, std::vector<Listener> &listeners, const Found &found) {
    char path[32];
    const auto end = std::to_chars(path, path + 20, pid).ptr;
    std::memcpy(end, "/fd", 4);
    core::UniqueFd dirFd(::openat(procFd, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DIR *dir = dirFd ? ::fdopendir(dirFd.get()) : nullptr;
    if (!dir) {
        return;
    }
    dirFd.release();
    while (const dirent *entry = ::readdir(dir)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9') {
            continue;
        }
        char link[64];
        const ssize_t n = ::readlinkat(::dirfd(dir), entry->d_name, link, sizeof link);
        if (n <= 0 || static_cast<std::size_t>(n) >= sizeof link) {
            continue;
        }
        const unsigned long inode = socketInode({link, static_cast<std::size_t>(n)});
        for (Listener &listener : listeners) {
            if (inode != 0 && listener.inode == inode) {
                found(listener);
            }
        }
    }
    ::closedir(dir);
}

/// The executable's file name of `pid`, else its kernel name; "" when neither.
std::string programName(int procFd, int pid) {
    char path[32];
    char buf[PATH_MAX];
    std::snprintf(path, sizeof path, "%d/exe", pid);
    const ssize_t n = ::readlinkat(procFd, path, buf, sizeof buf);
    if (n > 0 && static_cast<std::size_t>(n) < sizeof buf) {
        std::string_view exe(buf, static_cast<std::size_t>(n));
        constexpr std::string_view deleted = " (deleted)";
        if (exe.ends_with(deleted)) {
            exe.remove_suffix(deleted.size());
        }
        return std::string(fileName(exe));
    }
    std::snprintf(path, sizeof path, "%d/comm", pid);
    const core::UniqueFd fd(::openat(procFd, path, O_RDONLY | O_CLOEXEC));
    const std::size_t size = fd ? core::readFully(fd.get(), buf, 64) : 0;
    std::string_view comm(buf, size);
    if (!comm.empty() && comm.back() == '\n') {
        comm.remove_suffix(1);
    }
    return std::string(comm);
}

sockets::PortOwner lookUp(const std::string &address, std::uint16_t port, int rootPid) {
    using sockets::PortOwner;
    const auto target = parseAddress(address);
    const core::UniqueFd procFd(::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!target || !procFd) {
        return {};
    }
    std::vector<Listener> listeners = listenersOf(procFd.get(), *target, port);
    if (listeners.empty()) {
        return {};
    }
    // Connections go to the best-bound listeners; the others are not asked.
    const int best = std::min_element(listeners.begin(), listeners.end(), [](auto &a, auto &b) {
                         return a.rank < b.rank;
                     })->rank;
    std::erase_if(listeners, [&](const Listener &l) { return l.rank != best; });
    std::vector<unsigned long> sockets;
    sockets.reserve(listeners.size());
    for (const Listener &listener : listeners) {
        sockets.push_back(listener.inode);
    }
    std::sort(sockets.begin(), sockets.end());

    std::vector<int> tree;
    if (rootPid > 0) {
        tree = processes::descendants(rootPid);
        tree.insert(tree.begin(), rootPid);
    }
    for (const int pid : tree) {
        scanDescriptors(procFd.get(), pid, listeners, [](Listener &l) { l.held = true; });
    }
    // Every listener the kernel may hand a connection to must be the tree's.
    const auto stranger =
        std::find_if(listeners.begin(), listeners.end(), [](const Listener &l) { return !l.held; });
    if (stranger == listeners.end()) {
        return {PortOwner::Verdict::Tree, 0, {}, 0, sockets};
    }
    PortOwner owner{PortOwner::Verdict::Other, 0, {}, stranger->uid, sockets};
    std::vector<Listener> wanted{*stranger};
    core::UniqueFd listFd(::openat(procFd.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DIR *list = listFd ? ::fdopendir(listFd.get()) : nullptr;
    if (!list) {
        return owner;
    }
    listFd.release();
    while (const dirent *entry = ::readdir(list)) {
        int pid = 0;
        if (!parseNumber(std::string_view(entry->d_name), pid) || pid <= 0 ||
            std::find(tree.begin(), tree.end(), pid) != tree.end()) {
            continue;
        }
        bool holds = false;
        scanDescriptors(procFd.get(), pid, wanted, [&](Listener &) { holds = true; });
        if (holds) {
            owner.pid = pid;
            owner.program = programName(procFd.get(), pid);
            break;
        }
    }
    ::closedir(list);
    return owner;
}

} // namespace

namespace sockets {

PortOwner portOwner(const std::string &address, std::uint16_t port, int rootPid) {
    try {
        return lookUp(address, port, rootPid);
    } catch (...) {
        return {}; // out of memory: nothing can be said
    }
}

} // namespace sockets
