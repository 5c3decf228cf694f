#pragma once
// The settings file: a private-profile INI store with the Windows semantics the
// settings rely on (names ignore case, values trimmed, one pair of enclosing
// double quotes dropped, `;` comments, first duplicate wins, 254-character reads).

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace ini {

/// The longest value a read returns, in characters (code points), never cutting
/// a UTF-8 sequence in half.
inline constexpr std::size_t MaxValueChars = 254;

/// Value of `key` in `section` of `file`, or "" when the file, the section or the
/// key is missing or unreadable. A file that another account could change (see
/// core::settingsExposure) counts as unreadable, and is never written either.
/// Never throws.
std::string readValue(std::string_view section, std::string_view key,
                      const std::filesystem::path &file);

/// The whole file read once, for many lookups with readValue's rules.
class Document {
public:
    /// An empty document when the file is missing or cannot be read; `problem`,
    /// when given, then says why ("" for a missing file, as settingsReadProblem).
    static Document load(const std::filesystem::path &file, std::string *problem = nullptr);
    /// Parses `data` as the content of a settings file.
    explicit Document(std::string data = {});

    /// What readValue would return for the same file.
    std::string value(std::string_view section, std::string_view key) const;

private:
    std::string data_;
    /// "section NUL key", both in ASCII lower case, to where the value stands in
    /// data_; only the first section of a name and its first pair of a key count.
    std::unordered_map<std::string, std::pair<std::size_t, std::size_t>> values_;
};

struct WriteResult {
    bool ok = false;
    std::string error; ///< Why the write failed, in a few words; empty on success.
    explicit operator bool() const { return ok; }
};

/// One key to set: a missing file, section or key is created.
struct Change {
    std::string section;
    std::string key;
    std::string value;
};

/// Applies `changes` in order, each as writeValue would, to one read of `file`
/// and replaces the file once: a reader (or a crash) sees all of them or none.
/// Every other byte of the file is kept. Line breaks and NUL characters in the
/// arguments are dropped: values are single-line text. A change with an invalid
/// key name fails the whole write before anything is written.
WriteResult writeValues(const std::vector<Change> &changes, const std::filesystem::path &file);

/// writeValues with one change.
WriteResult writeValue(std::string_view section, std::string_view key, std::string_view value,
                       const std::filesystem::path &file);

} // namespace ini

namespace core {

/// Why `file` cannot be read, in a few words; "" when it can and when it is
/// missing (a missing file reads as empty) in a folder only this user and root
/// can change. Only a regular file of at most 16 MiB is read; anything else
/// reads as empty and cannot be written either.
std::string settingsReadProblem(const std::filesystem::path &file);

/// Cuts `text` to at most `maxChars` UTF-8 characters without splitting a sequence.
/// A byte that starts no valid sequence counts as one character.
std::string_view truncateUtf8(std::string_view text, std::size_t maxChars);

} // namespace core
