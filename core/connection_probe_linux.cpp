#include "core/connection_probe.h"

#include "core/unique_fd.h"

#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace connection {
namespace {

// Route flags as /proc/net prints them (linux/route.h).
constexpr unsigned long RouteUp = 0x0001;
constexpr unsigned long RouteReject = 0x0200;

bool usableRoute(const std::string &flagsHex) {
    const unsigned long flags = std::stoul(flagsHex, nullptr, 16);
    return (flags & RouteUp) != 0 && (flags & RouteReject) == 0;
}

/// /proc/net/route: Iface Destination Gateway Flags RefCnt Use Metric Mask ...
void ipv4DefaultRoutes(std::vector<std::string> &interfaces) {
    std::ifstream table("/proc/net/route");
    std::string line;
    std::getline(table, line); // column titles
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string iface, destination, gateway, flags, refCnt, use, metric, mask;
        if (fields >> iface >> destination >> gateway >> flags >> refCnt >> use >> metric >> mask &&
            destination == "00000000" && mask == "00000000" && usableRoute(flags)) {
            interfaces.push_back(iface);
        }
    }
}

/// /proc/net/ipv6_route: destination prefix-length source prefix-length
/// next-hop metric refcount use flags iface; ::/0 is the default route.
void ipv6DefaultRoutes(std::vector<std::string> &interfaces) {
    std::ifstream table("/proc/net/ipv6_route");
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string destination, prefix, source, sourcePrefix, nextHop, metric, refCnt, use, flags,
            iface;
        if (fields >> destination >> prefix >> source >> sourcePrefix >> nextHop >> metric >>
                refCnt >> use >> flags >> iface &&
            destination == std::string(32, '0') && prefix == "00" && usableRoute(flags)) {
            interfaces.push_back(iface);
        }
    }
}

/// Up and with its link (IFF_RUNNING: a pulled cable clears it while the
/// routes stay), and not loopback. Asked through a socket because
/// /sys/class/net shows the devices of whoever mounted /sys, which in a
/// separate network namespace are not ours.
bool interfaceCarries(int socketFd, const std::string &name) {
    if (name == "lo" || name.size() >= IFNAMSIZ) {
        return false;
    }
    ifreq request{};
    std::memcpy(request.ifr_name, name.c_str(), name.size());
    if (::ioctl(socketFd, SIOCGIFFLAGS, &request) != 0) {
        return false;
    }
    const auto flags = static_cast<unsigned>(request.ifr_flags);
    return (flags & IFF_UP) && (flags & IFF_RUNNING) && !(flags & IFF_LOOPBACK);
}

} // namespace

bool isConnected() {
    std::vector<std::string> interfaces;
    try {
        ipv4DefaultRoutes(interfaces);
        ipv6DefaultRoutes(interfaces);
    } catch (const std::exception &) {
        // A line that is not the kernel's format: count what was read so far.
    }
    if (interfaces.empty()) {
        return false;
    }
    const core::UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd) {
        return false;
    }
    for (const auto &name : interfaces) {
        if (interfaceCarries(fd.get(), name)) {
            return true;
        }
    }
    return false;
}

} // namespace connection
