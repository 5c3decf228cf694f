#pragma once
// A file of NAME=value lines that a slot's program gets beside Perstando's own
// environment. It may hold secrets, so it is read like the mail password file:
// only a regular file of this user that no other account can read or change.

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace core {

inline constexpr std::size_t MaxEnvironmentFileBytes = std::size_t{64} * 1024;

struct EnvironmentFile {
    std::vector<std::string> variables; ///< "NAME=value", in the file's order
    std::string refusal;                ///< why nothing was taken; empty when read
    bool ok() const { return refusal.empty(); }
};

/// The variables of `text`: blank lines and lines starting with '#' are
/// skipped, the value is taken as written up to the line end. A line that is
/// no NAME=value with a valid name refuses the whole text, naming `name` and
/// the line's number.
EnvironmentFile parseEnvironment(std::string_view text, const std::string &name);

/// Reads and parses `file`, following a link to what it names. Refused: anything
/// but a regular file, one owned by another account, one with any group or
/// other permission bit, one above MaxEnvironmentFileBytes. Never waits on a
/// FIFO or a device.
EnvironmentFile readEnvironmentFile(const std::filesystem::path &file);

} // namespace core
