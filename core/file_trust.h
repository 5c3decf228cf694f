#pragma once
// Whether another account could change a file or folder whose content decides
// what runs as this user, as ssh judges the files it trusts.

#include <sys/stat.h>

#include <filesystem>
#include <string>

namespace core {

/// Who besides this user and root could change what a stat describes.
enum class Exposure {
    None,
    AnotherOwner, ///< owned by an account that is neither this user nor root
    GroupMembers, ///< group-writable, and the group has a member besides them
    EveryUser,    ///< writable by others
};

/// Group write counts only when the group has a member besides this user and
/// root, listed in it or having it as primary group: a user's private group
/// with umask 002 is fine. Each group's members are looked up once per process.
Exposure exposure(const struct stat &info);

/// A file mode's permission bits as four octal digits, as chmod takes them.
std::string modeText(mode_t mode);

/// Why another account could change `name`, which `info` describes, in a few
/// words; empty when none could.
std::string exposureReason(const std::string &name, const struct stat &info);

/// Why another account could change the settings `file` names: the folder that
/// holds it, the folder a link of that name leads to, or the file itself.
/// Empty when none could, and for parts that do not exist.
std::string settingsExposure(const std::filesystem::path &file);

} // namespace core
