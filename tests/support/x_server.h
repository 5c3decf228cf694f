#pragma once
// A private X server (Xvfb) on a display number it picks itself, for tests
// that need real X11 windows.

#include <string>
#include <sys/types.h>

namespace testing_support {

class XServer {
public:
    /// Starts Xvfb and waits until it accepts connections; throws when it cannot.
    XServer();
    ~XServer();
    XServer(const XServer &) = delete;
    XServer &operator=(const XServer &) = delete;

    /// The DISPLAY value for clients, for example ":7".
    const std::string &display() const { return display_; }

private:
    pid_t pid_ = -1;
    std::string display_;
};

} // namespace testing_support
