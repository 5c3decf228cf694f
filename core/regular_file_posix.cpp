#include "core/regular_file.h"

#include "core/unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace core {

namespace {

RegularFileRead outcome(RegularFileRead::Status status, int error = 0) {
    RegularFileRead result;
    result.status = status;
    result.error = error;
    return result;
}

} // namespace

std::string RegularFileRead::errorText() const {
    return std::strerror(error);
}

RegularFileRead readRegularFile(const std::filesystem::path &file, std::size_t maxBytes,
                                const RegularFileOptions &options) {
    using Status = RegularFileRead::Status;
    const int flags =
        O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (options.followLinks ? 0 : O_NOFOLLOW);
    const UniqueFd fd(::open(file.c_str(), flags));
    if (!fd) {
        const int error = errno;
        if (error == ENOENT) {
            return outcome(Status::Missing, error);
        }
        if (error == ELOOP && !options.followLinks) {
            return outcome(Status::SymbolicLink, error);
        }
        return outcome(Status::Unreadable, error);
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) {
        return outcome(Status::Unreadable, errno);
    }
    if (S_ISDIR(info.st_mode)) {
        return outcome(Status::Directory, EISDIR);
    }
    if (!S_ISREG(info.st_mode)) {
        return outcome(Status::NotRegular);
    }
    if (options.check) {
        if (std::string why = options.check(info); !why.empty()) {
            RegularFileRead refused = outcome(Status::Refused);
            refused.refusal = std::move(why);
            return refused;
        }
    }
    if (static_cast<std::uintmax_t>(info.st_size) > maxBytes) {
        return outcome(Status::TooLarge);
    }
    // Sized by the file, one byte more to see it grew, and grown by doubling:
    // the settings are read this way on every change.
    const std::size_t bound = maxBytes + 1;
    const auto expected = std::max<std::size_t>(static_cast<std::size_t>(info.st_size) + 1, 4096);
    RegularFileRead result = outcome(Status::Read);
    std::string &data = result.data;
    data.resize(std::min(expected, bound));
    std::size_t used = 0;
    for (;;) {
        if (used == data.size()) {
            if (used > maxBytes) {
                return outcome(Status::TooLarge);
            }
            data.resize(std::min(data.size() * 2, bound));
        }
        const ssize_t n = ::read(fd.get(), data.data() + used, data.size() - used);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return outcome(Status::Unreadable, errno);
        }
        if (n == 0) {
            break;
        }
        used += static_cast<std::size_t>(n);
    }
    data.resize(used);
    return result;
}

} // namespace core
