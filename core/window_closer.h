#pragma once
// The window closer: finds a top-level window by a piece of its title and asks
// it to close. The search is shared by every platform; listing the windows,
// reading a title and posting the close are the platform's part
// (window_closer_x11.cpp), declared at the end.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace windowcloser {

/// A top-level window of the desktop (an X11 window id); 0 is no window.
using WindowHandle = std::uint32_t;

/// The window a search found and asked to close.
struct ClosedWindow {
    WindowHandle window = 0;
    std::string title;
};

/// Finds the topmost top-level window whose title contains `titlePiece`,
/// ignoring case (an empty piece matches any window), and asks it to close.
/// Nothing waits for the window. nullopt when no window matched.
std::optional<ClosedWindow> closeTopmostTitled(std::string_view titlePiece);

/// closeTopmostTitled for each piece, with one listing of the windows: what
/// each piece found, in the order of the pieces. A window is asked once: a
/// later piece looks past the windows earlier pieces found, so two pieces that
/// differ only in case dismiss two such windows.
std::vector<std::optional<ClosedWindow>>
closeTopmostTitled(const std::vector<std::string_view> &titlePieces);

/// Asks every top-level client window of the processes `pids` to close: a
/// window whose _NET_WM_PID is one of them and whose X client the server says
/// is that process. Nothing waits for the windows. How many were asked; 0
/// without a display or on a server that cannot say which process made a
/// window.
std::size_t closeWindowsOf(const std::vector<int> &pids);

// --- Platform part -------------------------------------------------------

/// Receives each top-level window with its title; returns false to stop.
using WindowVisitor = std::function<bool(WindowHandle window, std::string_view title)>;

/// Calls `visit` for every top-level client window, topmost first, until it
/// returns false. Titles are requested all at once and kept while the window
/// says nothing changed, so a sweep costs a fixed number of server round trips
/// whatever the window count, and none while the server announced no change
/// since the last one. Without a display nothing is visited.
void enumTopLevelWindows(const WindowVisitor &visit);

/// Title reader: the window's title as UTF-8; "" when it has none or is gone.
std::string windowTitle(WindowHandle window);

/// Asks `window` to close (the platform's polite close request), without
/// waiting for it; a window that is gone or cannot be asked is passed over.
void postClose(WindowHandle window);

/// How many requests the connection to the display has sent, for tests and
/// benchmarks: a call that sent none leaves it as it was. 0 without a display.
std::uint64_t requestsSent();

} // namespace windowcloser
