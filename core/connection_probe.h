#pragma once
// Is there an internet connection? The system's own answer, given at once.

namespace connection {

/// True when a default route (IPv4 or IPv6) goes through an interface that is
/// up and has its link, loopback aside. Reads the routing tables of the
/// caller's network namespace from /proc/net and asks the interfaces' flags;
/// nothing here waits on the network.
bool isConnected();

} // namespace connection
