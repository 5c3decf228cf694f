#pragma once
// Handing back memory an idle process no longer touches. Start-up reads much
// of the window libraries' code and data once; a watchdog in the tray then
// runs a few small paths for days. What it gives back comes in again from the
// page cache the moment it is used.

#include <cstddef>

namespace workingset {

/// Asks the kernel to take the read-only file pages of this process's own
/// mappings out of its resident set (pages other processes map stay), and
/// returns the heap's free pages. Writable and anonymous memory is left
/// alone, so nothing goes to swap. Returns the bytes of the mappings offered;
/// 0 where the kernel cannot do it (before Linux 5.4), which changes nothing.
std::size_t trim();

/// Resident bytes of this process now (/proc/self/statm), 0 when unreadable.
std::size_t residentBytes();

} // namespace workingset
