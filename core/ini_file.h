#pragma once
// The settings file: a private-profile INI store with the Windows semantics the
// settings rely on (names ignore case, values trimmed, one pair of enclosing
// double quotes dropped, `;` comments, first duplicate wins, 254-character reads).

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace RWINI1 {

/// The longest value a read returns, in characters (code points), never cutting
/// a UTF-8 sequence in half.
inline constexpr std::size_t MaxValueChars = 254;

/// Value of `key` in `section` of `file`, or "" when the file, the section or the
/// key is missing or unreadable. Never throws.
std::string ReadIni(std::string_view section, std::string_view key,
                    const std::filesystem::path &file);

struct WriteResult {
    bool ok = false;
    std::string error; ///< Why the write failed, in a few words; empty on success.
    explicit operator bool() const { return ok; }
};

/// Sets `key` in `section` to `value`, creating the file, section or key when
/// missing. Every other byte of the file is kept. The file is replaced
/// atomically: a reader (or a crash) sees either the old or the new file.
/// Line breaks and NUL characters in the arguments are dropped: values are
/// single-line text.
WriteResult WriteIni(std::string_view section, std::string_view key, std::string_view value,
                     const std::filesystem::path &file);

} // namespace RWINI1

namespace core {

/// Why `file` cannot be read, in a few words; "" when it can and when it is
/// missing (a missing file reads as empty). Only a regular file of at most
/// 16 MiB is read; anything else reads as empty and cannot be written either.
std::string settingsReadProblem(const std::filesystem::path &file);

/// Cuts `text` to at most `maxChars` UTF-8 characters without splitting a sequence.
/// A byte that starts no valid sequence counts as one character.
std::string_view truncateUtf8(std::string_view text, std::size_t maxChars);

} // namespace core
