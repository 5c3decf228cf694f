// Prints the connection probe's answer, so tests can ask it inside a network
// namespace of their making. Given the answer expected, it asks again until
// that answer comes or ten seconds pass: links change state asynchronously,
// a while after `ip link` returns.

#include "core/connection_probe.h"

#include <chrono>
#include <cstdio>
#include <string_view>
#include <thread>

int main(int argc, char *argv[]) {
    using namespace std::chrono_literals;
    const std::string_view expected = argc > 1 ? argv[1] : "";
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    std::string_view answer;
    for (;;) {
        answer = connection::isConnected() ? "connected" : "not connected";
        if (expected.empty() || answer == expected || std::chrono::steady_clock::now() > deadline) {
            break;
        }
        std::this_thread::sleep_for(20ms);
    }
    std::printf("%.*s\n", static_cast<int>(answer.size()), answer.data());
    return 0;
}
