#pragma once
// Who answers a local TCP port: the listening socket is looked up in
// /proc/net/tcp and tcp6, and its owner among the descriptors of a process
// tree, then of every process this account can see.

#include <cstdint>
#include <string>
#include <vector>

namespace sockets {

struct PortOwner {
    enum class Verdict {
        Tree,       ///< `rootPid` or one of its descendants holds the listening socket
        Other,      ///< another process holds it
        NoListener, ///< nothing listens there
    };
    Verdict verdict = Verdict::NoListener;
    /// Other: the process that holds it; 0 when this account cannot see it.
    int pid = 0;
    /// Other: that process's executable name; "" when unknown.
    std::string program;
    /// Other: the account the socket belongs to.
    unsigned uid = 0;
    /// Tree and Other: the listening sockets that take the connection (their
    /// inodes, ascending), so that a second look can tell whether they are
    /// still the same ones.
    std::vector<unsigned long> sockets;
};

/// Who listens on TCP `port` at `address` (numeric IPv4 or IPv6 text: the
/// address the probe connects to; an IPv4-mapped IPv6 address counts as
/// IPv4): the sockets bound to that address, else to the wildcard of its
/// family, else, for IPv4, to the IPv6 wildcard (the tables do not say which
/// of those are v6-only: one that is would have refused the connection).
/// Only listening sockets count. Tree when the tree holds every socket that
/// may take the connection (several share a port with SO_REUSEPORT). Text
/// that is no numeric address gives NoListener. Never throws.
PortOwner portOwner(const std::string &address, std::uint16_t port, int rootPid);

} // namespace sockets
