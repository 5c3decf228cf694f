#pragma once
// Which process a top-level window belongs to, for the window closer and the
// window ping: the PID a window names in _NET_WM_PID, believed only when the
// X server (X-Resource 1.2) says the client that made it is that process, as
// any client can put any PID on its windows. The platform part is
// window_owner_x11.cpp.

#include <xcb/xcb.h>
#include <xcb/xcb_ewmh.h>

#include <unordered_set>
#include <vector>

namespace windowowner {

/// A window and the process it names.
struct OwnedWindow {
    xcb_window_t window = XCB_NONE;
    int pid = 0;
};

/// The windows among `windows` whose _NET_WM_PID is one of `pids`, asked all
/// at once.
std::vector<OwnedWindow> naming(xcb_ewmh_connection_t &ewmh,
                                const std::vector<xcb_window_t> &windows,
                                const std::unordered_set<int> &pids);

/// True when the server can say which local process made a window.
bool serverKnowsOwners(xcb_connection_t *c);

/// Those of `claimed` whose client the server says is the process they name,
/// asked all at once; none when the server cannot say.
std::vector<OwnedWindow> verified(xcb_connection_t *c, const std::vector<OwnedWindow> &claimed);

} // namespace windowowner
