#pragma once
// X11 for window tests: an Xvfb server of the test's own (with openbox when a
// window manager matters), a plain client connection to look at it, and
// windows of our test program that record what they receive.

#include "tests/support/test_support.h"

#include <cstdint>
#include <string>
#include <vector>

struct xcb_connection_t;

namespace testing_support {

/// Xvfb on a free display number (searched from a high one), optionally with
/// openbox managing it; both are stopped at the end.
class XServer {
public:
    /// `xvfbArguments` are added to Xvfb's command line.
    explicit XServer(bool withWindowManager = false, std::string xvfbArguments = {});
    ~XServer();
    XServer(const XServer &) = delete;
    XServer &operator=(const XServer &) = delete;

    /// ":N"
    const std::string &display() const { return display_; }
    bool hasWindowManager() const { return withWindowManager_; }
    pid_t serverPid() const { return server_.pid(); }
    /// Ends the window manager and the server: the display goes away.
    void stop();
    /// Starts a fresh server (and window manager) on the same display number.
    void restart();

private:
    bool launch(int number);
    void startWindowManager();

    bool withWindowManager_;
    std::string xvfbArguments_;
    TempDir logs_;
    int number_ = -1;
    std::string display_;
    Child server_;
    Child manager_;
};

/// A client connection of the test's own, to look at the server independently
/// of the code under test.
class XClient {
public:
    explicit XClient(const std::string &display);
    ~XClient();
    XClient(const XClient &) = delete;
    XClient &operator=(const XClient &) = delete;

    bool connected() const;
    std::uint32_t root() const { return root_; }
    /// The root's children, bottom to top.
    std::vector<std::uint32_t> rootChildren();
    /// The window manager's _NET_CLIENT_LIST_STACKING, bottom to top.
    std::vector<std::uint32_t> managedStacking();
    /// True when a window manager's check window is announced and names itself.
    bool windowManagerRunning();
    /// The window manager's _NET_ACTIVE_WINDOW; 0 when none.
    std::uint32_t activeWindow();
    /// Maps a window of its own and waits for the window manager to list it:
    /// proof that the manager handles requests, not only that it started.
    bool windowManagerAnswers(std::chrono::milliseconds timeout);
    bool exists(std::uint32_t window);
    /// The root's children that are shown (viewable) with WM_NAME `title`.
    std::vector<std::uint32_t> shownTitled(const std::string &title);
    /// Top-level windows as this server shows them, topmost first: the managed
    /// list when a window manager runs, else the root's children.
    std::vector<std::uint32_t> topmostFirst(bool managed);
    /// Raises `window`: directly, or by asking the window manager to activate it.
    void raise(std::uint32_t window, bool managed);
    /// Sends our probe message to `window`.
    void sendProbe(std::uint32_t window);
    /// Sends the root an answer to a ping of `window` that it never sent.
    void forgePingAnswer(std::uint32_t window, std::uint32_t timestamp);
    /// Sets the _NET_WM_NAME of any client's window; done when it returns.
    void setTitle(std::uint32_t window, const std::string &title);
    /// A mapped top-level window without a title, on top, with the given id
    /// (an id of this connection's) or a new one; done when it returns.
    std::uint32_t createWindow(std::uint32_t id = 0);
    void destroyWindow(std::uint32_t window);
    /// Unmaps any client's window; done when it returns.
    void unmapWindow(std::uint32_t window);
    /// Plays an EWMH window manager: a check window naming itself and
    /// `stacking` (bottom to top) as the client list; done when it returns.
    void announceWindowManager(const std::vector<std::uint32_t> &stacking);
    /// What a reparenting window manager does: `client` moved into `frame`
    /// and marked with WM_STATE; done when it returns.
    void adopt(std::uint32_t frame, std::uint32_t client);
    /// The two halves of adopt: the move into the frame, and the mark.
    void reparent(std::uint32_t frame, std::uint32_t client);
    void markClient(std::uint32_t client);

private:
    void sync();
    xcb_connection_t *connection_ = nullptr;
    std::uint32_t root_ = 0;
    std::uint32_t checkWindow_ = 0;
};

/// Options of a test window; the title is `netName` (UTF-8, _NET_WM_NAME)
/// and/or `wmName` (stored as Latin-1 WM_NAME).
struct TestWindowOptions {
    std::string netName;
    std::string wmName;
    bool acceptsDelete = true;
    bool stay = false;
    /// Takes _NET_WM_PING and answers it.
    bool answersPing = false;
    /// WM_CLIENT_MACHINE instead of the local host name.
    std::string machine;
    /// Ignores SIGTERM.
    bool ignoresTerm = false;
    /// Names this PID instead of its own, takes the ping and never answers.
    pid_t claimedPid = 0;
    /// A copy of testWindowProgram() to run instead of it.
    std::filesystem::path program;
};

/// The x_test_window binary.
std::filesystem::path testWindowProgram();

/// One x_test_window process on `display`; killed at the end.
class TestWindow {
public:
    TestWindow(const std::string &display, const TestWindowOptions &options);
    /// The window's id once it is mapped (waits for it); 0 when it never came.
    std::uint32_t id();
    /// The lines recorded after "ready".
    std::vector<std::string> events() const;
    int count(const std::string &event) const;
    bool waitFor(const std::string &event, int times = 1);
    Child &process() { return process_; }

private:
    TempDir folder_;
    std::filesystem::path record_;
    Child process_;
    std::uint32_t id_ = 0;
};

/// Options for a window titled `title` through _NET_WM_NAME.
TestWindowOptions titled(const std::string &title, bool stay = false);

} // namespace testing_support
