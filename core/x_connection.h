#pragma once
// Connections to an X display for the window closer and the window ping, made
// so that they never hold up the calling thread for long: the server's
// handshake runs on a worker thread and is waited for only briefly. On a local
// display the socket is used only when it belongs to root or to this user and
// one of them listens on it: anyone can leave a socket in a display's place.
// The platform part is x_connection_x11.cpp.

#include <xcb/xcb.h>
#include <xcb/xcb_ewmh.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace xconnection {

class Connector {
public:
    /// `display` as DISPLAY spells it; empty takes DISPLAY at each attempt.
    explicit Connector(std::string display = {});
    ~Connector();
    Connector(const Connector &) = delete;
    Connector &operator=(const Connector &) = delete;

    /// A working connection for the caller to own, with its screen number in
    /// `screen`; nullptr when there is none yet. The first attempt is waited
    /// for a moment; one the server leaves unanswered is picked up by a later
    /// call, or given up after a while and tried afresh.
    xcb_connection_t *connect(int &screen);

private:
    struct Attempt;
    std::shared_ptr<Attempt> start();
    xcb_connection_t *take(int &screen);

    std::string display_;
    std::shared_ptr<Attempt> pending_;
    /// The last attempt outlived its wait: the next ones are not waited for.
    bool unanswered_ = false;
};

/// The connection a part keeps for its life: opened on first use through a
/// Connector, with the screen's root and the EWMH and other atoms it needs,
/// and opened afresh once the display went away (the connection has an error).
class Connection {
public:
    /// `display` as Connector takes it; `atoms` are interned with every
    /// connection, and one that cannot be refuses the connection.
    explicit Connection(std::string display = {}, std::vector<std::string> atoms = {});
    /// Disconnects without calling the closing hook: its owner is going.
    ~Connection();
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    /// Called when a connection is new, before ready() says true: the
    /// owner's own set-up, which may refuse it (false closes it again).
    void onOpened(std::function<bool()> opened) { opened_ = std::move(opened); }
    /// Called before a connection closes: what the owner knew of that display.
    void onClosing(std::function<void()> closing) { closing_ = std::move(closing); }

    /// True with a working connection: a broken one is closed and one opened.
    bool ready();
    /// Closes a connection that has an error; true when a working one is left.
    bool keep();
    void close();

    /// The connection; nullptr while there is none.
    xcb_connection_t *get() const { return c_; }
    xcb_ewmh_connection_t &ewmh() { return ewmh_; }
    int screen() const { return screen_; }
    xcb_window_t root() const { return root_; }
    /// The atom of `name`: one given to the constructor, or interned now and
    /// kept for this connection; XCB_NONE without a connection or an answer.
    xcb_atom_t atom(std::string_view name);

private:
    bool open();

    Connector connector_;
    std::vector<std::string> names_;
    std::function<bool()> opened_;
    std::function<void()> closing_;
    xcb_connection_t *c_ = nullptr;
    xcb_ewmh_connection_t ewmh_{};
    int screen_ = 0;
    xcb_window_t root_ = XCB_NONE;
    std::unordered_map<std::string, xcb_atom_t> atoms_;
};

} // namespace xconnection
