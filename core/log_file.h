#pragma once
// The log file: opened, appended to and closed for each entry.

#include <string>
#include <vector>

namespace core {

/// Appends `lines`, each followed by "\n", to the regular file at `path`,
/// creating it when missing. The entry is written whole or not at all (a write
/// cut short, by a full disk say, is taken back). Never blocks on a FIFO.
/// False when the path is empty, names no regular file, or the file cannot be
/// opened or written.
bool appendLogLines(const std::string &path, const std::vector<std::string> &lines);

} // namespace core
