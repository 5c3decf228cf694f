// Prints the connection probe's answer, so tests can ask it inside a network
// namespace of their making.

#include "core/connection_probe.h"

#include <cstdio>

int main() {
    std::puts(connection::isConnected() ? "connected" : "not connected");
    return 0;
}
