// Who answers a local port, with real listening sockets on the loopback.

#include "core/port_owner.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>

namespace {

namespace fs = std::filesystem;
using sockets::PortOwner;
using Verdict = sockets::PortOwner::Verdict;
using namespace testing_support;

/// A TCP socket of this process bound to `address` on a free port,
/// listening unless told otherwise; dual-stack when bound to "::".
class Socket {
public:
    explicit Socket(const std::string &address, bool listening = true) {
        sockaddr_storage storage{};
        socklen_t size = 0;
        int family = AF_INET;
        if (auto *v4 = reinterpret_cast<sockaddr_in *>(&storage);
            ::inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
            v4->sin_family = AF_INET;
            size = sizeof *v4;
        } else {
            auto *v6 = reinterpret_cast<sockaddr_in6 *>(&storage);
            ::inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr);
            v6->sin6_family = AF_INET6;
            size = sizeof *v6;
            family = AF_INET6;
        }
        fd_ = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int off = 0;
        if (family == AF_INET6) {
            ::setsockopt(fd_, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
        }
        if (::bind(fd_, reinterpret_cast<sockaddr *>(&storage), size) != 0 ||
            (listening && ::listen(fd_, 8) != 0) ||
            ::getsockname(fd_, reinterpret_cast<sockaddr *>(&storage), &size) != 0) {
            return;
        }
        port_ = ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in *>(&storage)->sin_port
                                        : reinterpret_cast<sockaddr_in6 *>(&storage)->sin6_port);
    }
    ~Socket() { ::close(fd_); }
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;

    /// 0 when the address cannot be bound here.
    std::uint16_t port() const { return port_; }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

std::string selfName() {
    return fs::read_symlink("/proc/self/exe").filename().string();
}

// Which socket takes a connection to an address, by how it is bound; each
// answered for this process's tree and for a tree it is not part of.
TEST(PortOwner, TheListenerAtTheAddressOrItsWildcardIsFoundInTheTreeOrNamed) {
    struct Case {
        const char *bound;
        const char *asked;
        bool answered;
    };
    const Case cases[] = {
        {"127.0.0.1", "127.0.0.1", true},
        {"0.0.0.0", "127.0.0.1", true},
        {"::", "127.0.0.1", true}, // dual-stack
        {"127.0.0.1", "::ffff:127.0.0.1", true},
        {"::1", "::1", true},
        {"::", "::1", true},
        {"127.0.0.2", "127.0.0.1", false},
        {"127.0.0.1", "::1", false},
        {"::1", "127.0.0.1", false},
        {"0.0.0.0", "::1", false},
    };
    Child stranger({"/bin/sleep", "1000"});
    const Socket probeV6("::1");
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.bound) + " asked as " + c.asked);
        const Socket socket(c.bound);
        const bool v6 = std::string(c.bound).find(':') != std::string::npos ||
                        std::string(c.asked).find(':') != std::string::npos;
        if (socket.port() == 0 || (v6 && probeV6.port() == 0)) {
            continue; // no IPv6 here
        }
        const PortOwner inTree = sockets::portOwner(c.asked, socket.port(), ::getpid());
        const PortOwner outside = sockets::portOwner(c.asked, socket.port(), stranger.pid());
        if (!c.answered) {
            EXPECT_EQ(inTree.verdict, Verdict::NoListener);
            EXPECT_EQ(outside.verdict, Verdict::NoListener);
            continue;
        }
        EXPECT_EQ(inTree.verdict, Verdict::Tree);
        EXPECT_EQ(outside.verdict, Verdict::Other);
        EXPECT_EQ(outside.pid, ::getpid());
        EXPECT_EQ(outside.program, selfName());
        EXPECT_EQ(outside.uid, ::getuid());
    }
}

TEST(PortOwner, ABoundSocketThatDoesNotListenOrANameIsNoListener) {
    const Socket bound("127.0.0.1", /*listening=*/false);
    ASSERT_NE(bound.port(), 0);
    EXPECT_EQ(sockets::portOwner("127.0.0.1", bound.port(), ::getpid()).verdict,
              Verdict::NoListener);
    const Socket listening("127.0.0.1");
    EXPECT_EQ(sockets::portOwner("localhost", listening.port(), ::getpid()).verdict,
              Verdict::NoListener);
}

// A server started under a shell belongs to the shell's tree, and is named
// when another tree is asked about its port.
TEST(PortOwner, AServerAmongTheDescendantsBelongsToTheTree) {
    std::uint16_t port = 0;
    {
        const Socket free("127.0.0.1");
        port = free.port();
    }
    TempDir dir;
    const fs::path server = copyExecutable(WATCHED_PROGRAM, dir.path(), uniqueName("server"));
    writeFile(server.string() + ".mode", "serve " + std::to_string(port) + "\n");
    struct Cleanup {
        fs::path exe;
        ~Cleanup() { killAll(exe); }
    } cleanup{server};
    Child shell({"/bin/sh", "-c", "\"$0\"; sleep 1000", server.string()});
    ASSERT_TRUE(waitUntil([&] {
        return sockets::portOwner("127.0.0.1", port, shell.pid()).verdict == Verdict::Tree;
    }));
    Child stranger({"/bin/sleep", "1000"});
    const PortOwner other = sockets::portOwner("127.0.0.1", port, stranger.pid());
    EXPECT_EQ(other.verdict, Verdict::Other);
    const auto pids = pidsOf(server);
    ASSERT_EQ(pids.size(), 1u);
    EXPECT_EQ(other.pid, pids.front());
    EXPECT_EQ(other.program, server.filename().string());
}

} // namespace
