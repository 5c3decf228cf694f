#pragma once
// The log file: opened, appended to and closed for each entry.

#include <string>
#include <vector>

namespace core {

/// Appends `lines`, each followed by "\n", to the file at `path` in one write,
/// creating the file when missing. False when the path is empty or the file
/// cannot be opened or written.
bool appendLogLines(const std::string &path, const std::vector<std::string> &lines);

} // namespace core
