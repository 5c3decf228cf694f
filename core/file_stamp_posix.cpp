#include "core/file_stamp.h"

#include <sys/stat.h>

#include <cerrno>
#include <ctime>

namespace core {

namespace {

/// File times come from a clock that may advance in steps as coarse as two
/// seconds (FAT); a change within this of the stat may not show in it.
constexpr std::int64_t SettleNs = 2'000'000'000;

std::int64_t nanoseconds(const timespec &t) {
    return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

} // namespace

FileStamp fileStamp(const std::string &path) {
    FileStamp stamp;
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        // Missing is a state of its own; anything else cannot be judged.
        stamp.settled = errno == ENOENT || errno == ENOTDIR;
        return stamp;
    }
    stamp.exists = true;
    stamp.device = info.st_dev;
    stamp.inode = info.st_ino;
    stamp.size = info.st_size;
    stamp.modifiedNs = nanoseconds(info.st_mtim);
    stamp.changedNs = nanoseconds(info.st_ctim);
    // The change time is the kernel's own (any write, rename or chmod sets
    // it, and no user can set it back), unlike the modification time.
    stamp.settled = stamp.changedNs <= nanoseconds(now) - SettleNs;
    return stamp;
}

bool unchanged(const FileStamp &earlier, const FileStamp &now) {
    return earlier.settled && now.settled && earlier.exists == now.exists &&
           earlier.device == now.device && earlier.inode == now.inode && earlier.size == now.size &&
           earlier.modifiedNs == now.modifiedNs && earlier.changedNs == now.changedNs;
}

} // namespace core
