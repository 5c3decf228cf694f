#pragma once
// Replacing a file so that nobody ever sees it half written.

#include <filesystem>
#include <string>
#include <string_view>

namespace core {

struct FileResult {
    bool ok = false;
    std::string error; ///< Why it failed, in a few words; empty on success.
};

/// Writes `content` to a temporary file beside `file`, flushes it to disk and
/// renames it over `file`. A file that exists keeps its permissions and owner;
/// a file without any write permission is refused, as a read-only file must be,
/// even for root. On failure `file` is untouched and no temporary file remains.
FileResult replaceFileAtomically(const std::filesystem::path &file, std::string_view content);

/// Deletes the temporary files, older than a minute, that writers of `file`
/// killed mid-write left beside it. Returns how many were deleted.
int removeLeftoverTemporaries(const std::filesystem::path &file);

} // namespace core
