#include "core/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
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

} // namespace

FileResult replaceFileAtomically(const std::filesystem::path &file, std::string_view content) {
    // Write through a symbolic link to the file it names, not over the link.
    std::error_code ec;
    std::filesystem::path target = file;
    if (std::filesystem::is_symlink(file, ec)) {
        target = std::filesystem::weakly_canonical(file, ec);
        if (ec) {
            return {false, ec.message()};
        }
    }
    std::filesystem::path folder = target.parent_path();
    if (folder.empty()) {
        folder = ".";
    }

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

    std::string tempName = (folder / ("." + target.filename().string() + ".XXXXXX")).string();
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
    const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return {true, {}};
}

} // namespace core
