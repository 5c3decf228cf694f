#pragma once
// The program's two folders: the one its data files ship in (beside the
// executable) and the one its settings live in.

#include <string>

namespace core {

/// Folder of the running executable, without a trailing separator (the root
/// stays "/"), as UTF-8 text: the sound, picture, manual and companion.
std::string dataFolder();

/// Folder of settings.ini, the mail-password file and the single-instance
/// lock's key. The data folder when its user may write it; for an installed
/// copy (a folder the user cannot write, or one under /usr other than
/// /usr/local) $XDG_CONFIG_HOME/perstando, with $HOME/.config/perstando when
/// that variable is unset, empty or relative. Decided once per process.
std::string settingsFolder();

/// Settings folder + "/settings.ini". At the root this gives "//settings.ini",
/// which is still a valid path.
std::string settingsPath();

/// Creates the settings folder (mode 0700, parents as needed) when it is not
/// the data folder and does not exist yet. Empty when it is there, else why not.
std::string prepareSettingsFolder();

/// Makes both folders `folder` instead of the executable's, so in-process
/// tests can work in a temporary program folder. Empty restores them.
void setProgramFolderOverride(const std::string &folder);

} // namespace core
