#pragma once
// What a stat says of a file, to tell whether it changed since it was last
// read without reading it again.

#include <cstdint>
#include <string>

namespace core {

/// A file's identity and times, through links; a missing file is a stamp too.
struct FileStamp {
    /// False when the file could not be examined (other than being missing),
    /// or when it changed so recently that a further change within the same
    /// tick of the file system's clock would leave every field as it is.
    bool settled = false;
    bool exists = false;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::int64_t modifiedNs = 0;
    std::int64_t changedNs = 0;
};

/// The stamp of `path` now, following links.
FileStamp fileStamp(const std::string &path);

/// True when both stamps are settled and alike: the file, or its absence,
/// is the one `earlier` described. An atomic replace, a rewrite in place and
/// a link pointed elsewhere each differ.
bool unchanged(const FileStamp &earlier, const FileStamp &now);

} // namespace core
