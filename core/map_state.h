#pragma once
// How a hidden window of ours asks to be shown: as a normal window.

#include <cstdint>

struct xcb_connection_t;

namespace core {

/// Sets the initial state of the X11 window `window` back to normal when it
/// asks to be mapped iconic, so the window manager shows it as a normal window
/// the next time it is mapped; the change has reached the X server when this
/// returns. `connection` is the window owner's own, so no new connection is
/// made and the change comes before the owner's next map. False when nothing
/// was changed: not iconic, no connection, no such window.
bool mapNormalNextTime(xcb_connection_t *connection, std::uint32_t window);

} // namespace core
