#pragma once
// The program folder: where the executable, settings.ini and the data files live.

#include <filesystem>
#include <string>

namespace core {

/// Folder of the running executable, without a trailing separator (the root
/// stays "/"), as UTF-8 text.
std::string programFolder();

/// Program folder + "/settings.ini". At the root this gives "//settings.ini",
/// which is still a valid path.
std::string settingsPath();

/// Makes programFolder() answer `folder` instead of the executable's folder, so
/// in-process tests can work in a temporary program folder. Empty restores it.
void setProgramFolderOverride(const std::string &folder);

} // namespace core
