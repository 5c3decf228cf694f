#include "core/atomic_file.h"

#include "core/unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <system_error>

namespace core {
namespace {

FileResult failure(int error) {
    return {false, std::strerror(error)};
}

bool writeAll(int fd, std::string_view content) {
    while (!content.empty()) {
        const auto n = ::write(fd, content.data(), content.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        content.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

/// The file a write lands in: through symbolic links, however many, to the
/// file the last one names, which need not exist yet. Replacing a link that
/// points nowhere with a plain file would detach the user's real settings.
std::filesystem::path writeTarget(const std::filesystem::path &file, std::error_code &ec) {
    constexpr int MaxLinks = 40; // as the kernel's own limit
    std::filesystem::path target = file;
    for (int hop = 0; hop < MaxLinks; ++hop) {
        struct stat info {};
        if (::lstat(target.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
            return target;
        }
        const std::filesystem::path next = std::filesystem::read_symlink(target, ec);
        if (ec) {
            return {};
        }
        target = next.is_absolute() ? next : target.parent_path() / next;
    }
    ec = std::make_error_code(std::errc::too_many_symbolic_link_levels);
    return {};
}

std::filesystem::path folderOf(const std::filesystem::path &target) {
    const std::filesystem::path folder = target.parent_path();
    return folder.empty() ? std::filesystem::path(".") : folder;
}

/// ".NAME." followed by mkstemp's six letters and digits.
std::string temporaryPrefix(const std::filesystem::path &target) {
    return "." + target.filename().string() + ".";
}

constexpr std::size_t TemporarySuffixLength = 6;
constexpr std::time_t LeftoverAgeSeconds = 60;

bool isTemporaryOf(std::string_view name, std::string_view prefix) {
    if (name.size() != prefix.size() + TemporarySuffixLength || !name.starts_with(prefix)) {
        return false;
    }
    for (const char c : name.substr(prefix.size())) {
        const bool alnum =
            (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!alnum) {
            return false;
        }
    }
    return true;
}

} // namespace

FileResult replaceFileAtomically(const std::filesystem::path &file, std::string_view content) {
    std::error_code ec;
    const std::filesystem::path target = writeTarget(file, ec);
    if (ec) {
        return {false, ec.message()};
    }
    const std::filesystem::path folder = folderOf(target);

    struct stat existing {};
    const bool exists = ::stat(target.c_str(), &existing) == 0;
    if (exists) {
        if (!S_ISREG(existing.st_mode)) {
            return {false, "not a regular file"};
        }
        if ((existing.st_mode & 0222) == 0 || ::access(target.c_str(), W_OK) != 0) {
            return {false, "the file is read-only"};
        }
    } else if (errno != ENOENT) {
        return failure(errno);
    }

    std::string tempName =
        (folder / (temporaryPrefix(target) + std::string(TemporarySuffixLength, 'X'))).string();
    const int fd = ::mkstemp(tempName.data());
    if (fd < 0) {
        return failure(errno);
    }
    auto abandon = [&](int error) {
        ::close(fd);
        ::unlink(tempName.c_str());
        return failure(error);
    };
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);

    mode_t mode = 0644;
    if (exists) {
        mode = existing.st_mode & 07777;
        if (::geteuid() == 0) {
            // Keep a user's file theirs when root writes it; failing here is harmless.
            [[maybe_unused]] const int ignored = ::fchown(fd, existing.st_uid, existing.st_gid);
        }
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    if (::fchmod(fd, mode) != 0) {
        return abandon(errno);
    }
    if (!writeAll(fd, content) || ::fsync(fd) != 0) {
        return abandon(errno);
    }
    if (::close(fd) != 0) {
        const int error = errno;
        ::unlink(tempName.c_str());
        return failure(error);
    }
    if (::rename(tempName.c_str(), target.c_str()) != 0) {
        const int error = errno;
        ::unlink(tempName.c_str());
        return failure(error);
    }
    // Make the rename itself durable.
    const core::UniqueFd dirFd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dirFd) {
        ::fsync(dirFd.get());
    }
    return {true, {}};
}

int removeLeftoverTemporaries(const std::filesystem::path &file) {
    std::error_code ec;
    const std::filesystem::path target = writeTarget(file, ec);
    if (ec) {
        return 0;
    }
    const std::string prefix = temporaryPrefix(target);
    const std::time_t now = std::time(nullptr);
    int removed = 0;
    std::filesystem::directory_iterator it(folderOf(target), ec);
    for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        // Never through a link: only the writers' own plain files go. A write
        // in flight (a settings file shared through a link) is a fresh file.
        struct stat info {};
        if (isTemporaryOf(it->path().filename().string(), prefix) &&
            ::lstat(it->path().c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
            info.st_mtime < now - LeftoverAgeSeconds && ::unlink(it->path().c_str()) == 0) {
            ++removed;
        }
    }
    return removed;
}

} // namespace core
