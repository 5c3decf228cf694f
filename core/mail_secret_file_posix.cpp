#include "core/file_trust.h"
#include "core/mail_secret_backends.h"
#include "core/regular_file.h"
#include "core/unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace mailsecret::backend {
namespace {

constexpr std::size_t MaxFileSize = 4096;

Lookup unreadable(std::string reason) {
    Lookup result;
    result.outcome = Lookup::Outcome::Unreadable;
    result.reason = std::move(reason);
    return result;
}

Change changeFailed(const std::string &what, int error) {
    return {false, Place::Nowhere, what + ": " + std::strerror(error)};
}

/// What is wrong with the opened regular file `name` for holding a secret, as
/// ssh judges a private key; empty when nothing is.
std::string refusal(const std::string &name, const struct stat &info) {
    // Readable by this user, a file root owns is readable by others too, which
    // the mode check below refuses.
    if (core::exposure(info) == core::Exposure::AnotherOwner) {
        return name + " belongs to another user (uid " + std::to_string(info.st_uid) +
               "); it must be yours";
    }
    if ((info.st_mode & 077) != 0) {
        return name + " can be read or changed by other users (mode " +
               core::modeText(info.st_mode) + "); chmod 600 " + name;
    }
    return {};
}

void syncFolder(const std::filesystem::path &folder) {
    const core::UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd) {
        ::fsync(fd.get());
    }
}

} // namespace

Lookup readFile(const Item &item, const std::filesystem::path &folder) {
    const std::string &name = item.fileName;
    const std::filesystem::path file = folder / name;
    // Never follow a link, never wait for a FIFO's writer; judge what was opened.
    core::RegularFileOptions options;
    options.followLinks = false;
    options.check = [&name](const struct stat &info) { return refusal(name, info); };
    core::RegularFileRead read = core::readRegularFile(file, MaxFileSize, options);
    using Status = core::RegularFileRead::Status;
    switch (read.status) {
    case Status::Read:
        break;
    case Status::Missing:
        return {};
    case Status::SymbolicLink:
        return unreadable(name + " is a symbolic link; only a plain file is read");
    case Status::Directory:
    case Status::NotRegular:
        return unreadable(name + " is not a regular file");
    case Status::Refused:
        return unreadable(read.refusal);
    case Status::TooLarge:
        return unreadable(name + " is larger than " + std::to_string(MaxFileSize) + " bytes");
    case Status::Unreadable:
        return unreadable(name + ": " + read.errorText());
    }
    std::string content = std::move(read.data);
    // One line: the secret, its line end dropped.
    content.resize(std::min(content.find('\n'), content.size()));
    if (!content.empty() && content.back() == '\r') {
        content.pop_back();
    }
    Lookup result;
    if (!content.empty()) {
        result.outcome = Lookup::Outcome::Found;
        result.place = Place::File;
        result.password = std::move(content);
    }
    return result;
}

Change writeFile(const Item &item, const std::filesystem::path &folder, const std::string &secret) {
    const std::filesystem::path file = folder / item.fileName;
    std::string temporary = (folder / ("." + item.fileName + ".XXXXXX")).string();
    // mkstemp creates with O_EXCL and mode 0600: the secret is never readable by others.
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) {
        return changeFailed("cannot write in " + folder.string(), errno);
    }
    const std::string line = secret + "\n";
    int error = ::fchmod(fd, 0600) != 0 ? errno : 0;
    errno = 0;
    if (error == 0 && ::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
        error = errno != 0 ? errno : EIO;
    }
    if (error == 0 && ::fsync(fd) != 0) {
        error = errno;
    }
    if (::close(fd) != 0 && error == 0) {
        error = errno;
    }
    // rename replaces a link of that name itself, never what it points to.
    if (error == 0 && ::rename(temporary.c_str(), file.c_str()) != 0) {
        error = errno;
    }
    if (error != 0) {
        ::unlink(temporary.c_str());
        return changeFailed("cannot write " + file.string(), error);
    }
    syncFolder(folder);
    return {true, Place::File, {}};
}

Change removeFile(const Item &item, const std::filesystem::path &folder) {
    const std::filesystem::path file = folder / item.fileName;
    if (::unlink(file.c_str()) != 0 && errno != ENOENT) {
        return changeFailed("cannot remove " + file.string(), errno);
    }
    syncFolder(folder);
    return {true, Place::File, {}};
}

} // namespace mailsecret::backend
