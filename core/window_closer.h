#pragma once
// The window closer: finds a top-level window by a piece of its title and asks
// it to close. The search and its two variables are shared by every platform;
// listing the windows, reading a title and posting the close are the
// platform's part (window_closer_x11.cpp), declared at the end.

#include <cstdint>
#include <string>
#include <string_view>

namespace winkill {

/// A top-level window of the desktop (an X11 window id); 0 is no window.
using WindowHandle = std::uint32_t;

/// The title piece being looked for; set by KillWin before each search.
extern std::string searchText;
/// The window the current search found; 0 when none. Each KillWin clears it
/// first, so a close only ever goes to a window that matched in that call.
extern WindowHandle foundWindow;

/// Enumeration callback: when `title` contains the search text, ignoring case
/// (an empty search text matches every title), stores `window` as the found
/// window and returns false to end the enumeration; otherwise returns true.
bool enumWindowsProc(WindowHandle window, std::string_view title);

/// Stores `title` as the search text, clears the found window, enumerates the
/// top-level windows with enumWindowsProc and asks the window found, if any,
/// to close. Nothing is reported and nothing waits for the window.
void KillWin(std::string_view title);

// --- Platform part -------------------------------------------------------

/// Receives each top-level window with its title; returns false to stop.
using WindowVisitor = bool (*)(WindowHandle window, std::string_view title);

/// Calls `visit` for every top-level client window, topmost first, until it
/// returns false. Titles are requested all at once and kept while the window
/// says nothing changed, so a sweep costs a fixed number of server round trips
/// whatever the window count. Without a display nothing is visited.
void enumTopLevelWindows(WindowVisitor visit);

/// Title reader: the window's title as UTF-8; "" when it has none or is gone.
std::string windowTitle(WindowHandle window);

/// Asks `window` to close (the platform's polite close request), without
/// waiting for it; a window that is gone or cannot be asked is passed over.
void postClose(WindowHandle window);

} // namespace winkill
