#pragma once
// How a hidden window of ours asks to be shown: as a normal window.

#include <cstdint>

namespace core {

/// Sets the initial state of the X11 window `window` back to normal when it
/// asks to be mapped iconic, so the window manager shows it as a normal window
/// the next time it is mapped; the change has reached the X server when this
/// returns. False when nothing was changed: not iconic, no display, no such
/// window.
bool mapNormalNextTime(std::uint32_t window);

} // namespace core
