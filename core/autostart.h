#pragma once
// Run at start: Perstando's XDG autostart desktop entry, started with the
// user's desktop session.

#include <string>

namespace autostart {

/// How a change went; `reason` is the system's word when it failed.
struct Result {
    bool ok = false;
    std::string reason;
    explicit operator bool() const { return ok; }
};

/// Where the package puts the command that starts an installed copy.
inline constexpr const char *InstalledCommand = "/usr/bin/perstando";

/// The program the entry should start: `installed` when it leads to the same
/// file as `executable` (the package's link to an installed copy, which
/// outlives upgrades that move the copy), else `executable` itself.
std::string programCommand(const std::string &executable,
                           const std::string &installed = InstalledCommand);

/// Writes Perstando.desktop to the user's autostart folder
/// ($XDG_CONFIG_HOME/autostart, else ~/.config/autostart) with `command` as
/// its one Exec= argument. Rewrites an existing entry.
Result enable(const std::string &command);

/// Removes the user's entry; run as root, also the one earlier versions wrote
/// to the system autostart folder (the first of $XDG_CONFIG_DIRS, else
/// /etc/xdg). An entry that does not exist is already removed.
Result disable();

/// True when an entry starts Perstando with the session: the user's, or the
/// system one earlier versions wrote.
bool isEnabled();

} // namespace autostart
