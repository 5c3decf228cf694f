#pragma once
// Connections to an X display for the window closer and the window ping, made
// so that they never hold up the calling thread for long: the server's
// handshake runs on a worker thread and is waited for only briefly. On a local
// display the socket is used only when it belongs to root or to this user and
// one of them listens on it: anyone can leave a socket in a display's place.
// The platform part is x_connection_x11.cpp.

#include <memory>
#include <string>

struct xcb_connection_t;

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

} // namespace xconnection
