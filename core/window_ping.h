#pragma once
// Asks a program's windows whether it still handles its events, as a window
// manager does before it offers to kill a frozen program: each top-level
// window that takes the ping is sent one, and a program that keeps a ping
// unanswered is not responding. Windows that do not take it, and programs
// without windows, are never judged. The platform part is window_ping_x11.cpp.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace windowping {

using Clock = std::chrono::steady_clock;

/// A top-level window (an X11 window id).
using WindowHandle = std::uint32_t;

/// A window that takes the ping, as the last ping() found it.
struct PingedWindow {
    WindowHandle window = 0;
    /// When the oldest ping it has not answered was sent; empty when it has
    /// answered every ping sent so far.
    std::optional<Clock::time_point> waitingSince;
    /// When it last answered; empty when it never has.
    std::optional<Clock::time_point> lastAnswer;
};

class WindowPing {
public:
    /// `display` as DISPLAY spells it; empty takes DISPLAY. The connection
    /// is opened on first use and again after the display went away.
    explicit WindowPing(std::string display = {});
    ~WindowPing();
    WindowPing(const WindowPing &) = delete;
    WindowPing &operator=(const WindowPing &) = delete;

    /// Finds the top-level windows of each process (its own PID and this
    /// machine's host name on them, and made by that process as the X server
    /// tells) that take the ping, and pings each one
    /// that is not still waiting on an earlier ping. Windows of other
    /// processes, and windows that went away, are forgotten. Answers that
    /// arrived meanwhile are taken first. Without a display nothing is known.
    void ping(const std::vector<pid_t> &pids);

    /// Takes the answers that have arrived, without waiting.
    void poll();

    /// The windows of `pid` that the last ping() found.
    std::vector<PingedWindow> windows(pid_t pid) const;

    /// How long the least responsive window of `pid` has kept a ping
    /// unanswered (zero when every ping was answered); empty when nothing of
    /// `pid` is judged: no display, no window, or none that takes the ping.
    std::optional<Clock::duration> silence(pid_t pid, Clock::time_point now = Clock::now()) const;

    /// The connection's descriptor to watch for answers; -1 without a display.
    int descriptor() const;

private:
    struct Connection;
    std::unique_ptr<Connection> connection_;
};

} // namespace windowping
