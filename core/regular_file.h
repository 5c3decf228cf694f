#pragma once
// Reading a small file whole, safely: only a regular file is read, opening
// never waits (a FIFO without a writer, a device), and the size is bounded
// (a link to /dev/zero or a growing log must not fill the memory). Each
// caller turns the outcome into its own words.

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>

struct stat;

namespace core {

struct RegularFileRead {
    enum class Status {
        Read,         ///< `data` holds the whole file
        Missing,      ///< no file of that name
        SymbolicLink, ///< a link, where links are not followed
        Directory,
        NotRegular, ///< a FIFO, socket or device
        Refused,    ///< the caller's check said no; `refusal` says why
        TooLarge,   ///< larger than the bound, found before or while reading
        Unreadable, ///< the system refused; `error` says why
    };
    Status status = Status::Unreadable;
    std::string data;
    int error = 0; ///< the errno of an Unreadable outcome
    std::string refusal;

    bool ok() const { return status == Status::Read; }
    /// The system's words for `error`.
    std::string errorText() const;
};

struct RegularFileOptions {
    /// A link counts as SymbolicLink instead of being followed.
    bool followLinks = true;
    /// Asked about the opened regular file before its size is judged and its
    /// bytes are read: a non-empty answer refuses it.
    std::function<std::string(const struct stat &)> check;
};

/// The content of `file`, at most `maxBytes` of it. Interrupted calls are
/// retried; a file that grows past the bound while it is read is TooLarge.
RegularFileRead readRegularFile(const std::filesystem::path &file, std::size_t maxBytes,
                                const RegularFileOptions &options = {});

} // namespace core
