#pragma once
// Run at start: the registry routines of the Run key, kept by name and shape,
// backed by XDG autostart desktop entries.

#include <string>

namespace Module6 {

/// The root keys the callers name.
enum class RootKey { CurrentUser, LocalMachine };
inline constexpr RootKey HKEY_CURRENT_USER = RootKey::CurrentUser;
inline constexpr RootKey HKEY_LOCAL_MACHINE = RootKey::LocalMachine;

/// The key whose values are started with the desktop session.
inline constexpr const char *RunKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";

/// Stores `value` (a program path) under `valueName`: for the Run key of
/// HKEY_LOCAL_MACHINE the desktop entry `valueName`.desktop in the system
/// autostart folder, for HKEY_CURRENT_USER the one in the user's, with Exec=
/// the value. Rewrites an existing entry. False, with `reason` filled when
/// given, when the entry could not be written or the key has no counterpart.
bool SetRegValue(RootKey root, const std::string &subkey, const std::string &valueName,
                 const std::string &value, std::string *reason = nullptr);

/// Removes the entry SetRegValue writes. An entry that does not exist is
/// already removed: true. False, with `reason`, when it could not be removed.
bool DeleteRegValue(RootKey root, const std::string &subkey, const std::string &valueName,
                    std::string *reason = nullptr);

} // namespace Module6
