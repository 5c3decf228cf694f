#include "core/connection_probe.h"
#include "tests/support/network_namespace.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace testing_support;

namespace {

/// The probe's answer in a fresh network namespace after `setup` (shell
/// commands) ran there, asked until it is `expected` or a deadline passes;
/// nullopt when the setup itself failed.
std::optional<std::string> answerWithout(const std::string &setup, const std::string &expected) {
    auto argv = withoutNetwork();
    argv.insert(argv.end(),
                {"sh", "-c", "set -e\n" + setup + "\nexec \"$0\" \"$1\"", PROBE_HELPER, expected});
    const auto run = runCaptured(argv);
    if (!WIFEXITED(run.status) || WEXITSTATUS(run.status) != 0) {
        return std::nullopt;
    }
    return run.output;
}

constexpr const char *Veth = "ip link add a0 type veth peer name a1\n"
                             "ip link set a1 up\n"
                             "ip link set a0 up\n";

TEST(ConnectionProbe, AnswersFromTheRoutesOfItsOwnNetworkNamespace) {
    if (withoutNetwork().empty()) {
        GTEST_SKIP() << "no network namespace can be made here";
    }
    const std::string no = "not connected";
    const std::string yes = "connected";
    EXPECT_EQ(answerWithout("", no), no + "\n") << "a fresh namespace has no routes";
    EXPECT_EQ(answerWithout("ip link set lo up\nip route add default dev lo", no), no + "\n")
        << "a default route through loopback leads nowhere";
    EXPECT_EQ(answerWithout("ip route add unreachable default", no), no + "\n");

    const std::string ipv4 = std::string(Veth) + "ip addr add 10.9.0.2/24 dev a0\n"
                                                 "ip route add default via 10.9.0.1 dev a0";
    const auto connected = answerWithout(ipv4, yes);
    if (!connected) {
        GTEST_SKIP() << "no veth interfaces here";
    }
    EXPECT_EQ(connected, yes + "\n");
    // A pulled cable: the far end goes down, the route stays but the link is gone.
    EXPECT_EQ(answerWithout(ipv4 + "\nip link set a1 down", no), no + "\n");
    EXPECT_EQ(answerWithout(std::string(Veth) + "ip -6 route add default dev a0", yes), yes + "\n")
        << "an IPv6 default route counts as well";
}

/// Interface names of the default routes `ip` lists for one family.
std::vector<std::string> defaultDevices(const char *family) {
    const auto run = runCaptured({"ip", family, "-o", "route", "show", "default"});
    std::vector<std::string> devices;
    std::istringstream lines(run.output);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string word;
        words >> word;
        if (word == "unreachable" || word == "blackhole" || word == "prohibit") {
            continue;
        }
        while (words >> word) {
            if (word == "dev" && words >> word) {
                devices.push_back(word);
            }
        }
    }
    return devices;
}

/// Up, and operationally up (or unknown, as for tunnels), per `ip link`.
bool linkIsUp(const std::string &device) {
    const auto run = runCaptured({"ip", "-o", "link", "show", "dev", device});
    const auto &text = run.output;
    const auto flagsEnd = text.find('>');
    const bool adminUp = text.substr(0, flagsEnd).find(",UP") != std::string::npos ||
                         text.substr(0, flagsEnd).find("<UP") != std::string::npos;
    const bool operUp = text.find(" state UP ") != std::string::npos ||
                        text.find(" state UNKNOWN ") != std::string::npos;
    return adminUp && operUp;
}

TEST(ConnectionProbe, AgreesWithIpRouteOnThisMachine) {
    auto devices = defaultDevices("-4");
    const auto ipv6 = defaultDevices("-6");
    devices.insert(devices.end(), ipv6.begin(), ipv6.end());
    if (devices.empty()) {
        GTEST_SKIP() << "this machine has no default route";
    }
    bool expected = false;
    for (const auto &device : devices) {
        expected = expected || (device != "lo" && linkIsUp(device));
    }
    EXPECT_EQ(connection::isConnected(), expected);
}

} // namespace
