#include "core/ini_file.h"

#include "core/atomic_file.h"
#include "core/file_trust.h"
#include "core/regular_file.h"

#include <algorithm>
#include <cstdint>
#include <optional>

namespace core {

std::string_view truncateUtf8(std::string_view text, std::size_t maxChars) {
    std::size_t pos = 0;
    std::size_t chars = 0;
    while (pos < text.size() && chars < maxChars) {
        const auto lead = static_cast<unsigned char>(text[pos]);
        std::size_t len = 1;
        if (lead >= 0xF0 && lead <= 0xF4) {
            len = 4;
        } else if (lead >= 0xE0) {
            len = lead <= 0xEF ? 3 : 1;
        } else if (lead >= 0xC2) {
            len = 2;
        }
        if (len > 1) {
            // Only a complete sequence of continuation bytes counts as one character.
            if (pos + len > text.size()) {
                len = 1;
            } else {
                for (std::size_t i = 1; i < len; ++i) {
                    if ((static_cast<unsigned char>(text[pos + i]) & 0xC0) != 0x80) {
                        len = 1;
                        break;
                    }
                }
            }
        }
        pos += len;
        ++chars;
    }
    return text.substr(0, pos);
}

} // namespace core

namespace {

constexpr std::string_view Blanks = " \t";

std::string_view trim(std::string_view s) {
    const auto first = s.find_first_not_of(Blanks);
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = s.find_last_not_of(Blanks);
    return s.substr(first, last - first + 1);
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto x = static_cast<unsigned char>(a[i]);
        auto y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') {
            x = static_cast<unsigned char>(x - 'A' + 'a');
        }
        if (y >= 'A' && y <= 'Z') {
            y = static_cast<unsigned char>(y - 'A' + 'a');
        }
        if (x != y) {
            return false;
        }
    }
    return true;
}

/// One line of the file: `text` without its line break; `next` is where the
/// following line starts.
struct Line {
    std::string_view text;
    std::size_t begin = 0;
    std::size_t next = 0;
    bool terminated = false; ///< ends in LF; the last line of a file may not
};

class LineReader {
public:
    explicit LineReader(std::string_view data) : data_(data) {
        if (data_.substr(0, 3) == "\xEF\xBB\xBF") {
            pos_ = 3;
        }
    }
    std::optional<Line> next() {
        if (pos_ >= data_.size()) {
            return std::nullopt;
        }
        Line line;
        line.begin = pos_;
        const auto nl = data_.find('\n', pos_);
        std::size_t end = nl == std::string_view::npos ? data_.size() : nl;
        line.next = nl == std::string_view::npos ? data_.size() : nl + 1;
        line.terminated = nl != std::string_view::npos;
        if (end > pos_ && data_[end - 1] == '\r') {
            --end;
        }
        line.text = data_.substr(pos_, end - pos_);
        pos_ = line.next;
        return line;
    }

private:
    std::string_view data_;
    std::size_t pos_ = 0;
};

enum class LineKind { Other, Section, Pair };

struct Parsed {
    LineKind kind = LineKind::Other;
    std::string_view name; // section or key name, trimmed
    std::string_view value;
};

Parsed parse(std::string_view text) {
    const auto t = trim(text);
    if (t.empty() || t.front() == ';') {
        return {};
    }
    if (t.front() == '[') {
        const auto close = t.find(']');
        if (close == std::string_view::npos) {
            return {}; // a broken header is neither a section nor a pair
        }
        return {LineKind::Section, trim(t.substr(1, close - 1)), {}};
    }
    const auto eq = t.find('=');
    if (eq == std::string_view::npos) {
        return {};
    }
    return {LineKind::Pair, trim(t.substr(0, eq)), trim(t.substr(eq + 1))};
}

/// Where a key lives in the file, as far as the writer needs to know.
struct Location {
    bool sectionFound = false;
    std::optional<Line> keyLine;
    std::size_t insertAt = 0; // end of the section's last non-blank line
    bool insertNeedsBreak = false;
};

Location locate(std::string_view data, std::string_view section, std::string_view key) {
    Location loc;
    LineReader reader(data);
    bool inSection = false;
    while (auto line = reader.next()) {
        const auto p = parse(line->text);
        if (p.kind == LineKind::Section) {
            if (inSection) {
                break; // the first matching section is the one that counts
            }
            if (equalsIgnoreCase(p.name, section)) {
                inSection = true;
                loc.sectionFound = true;
                loc.insertAt = line->next;
                loc.insertNeedsBreak = !line->terminated;
            }
            continue;
        }
        if (!inSection) {
            continue;
        }
        if (p.kind == LineKind::Pair && equalsIgnoreCase(p.name, key)) {
            loc.keyLine = line;
            return loc;
        }
        if (!trim(line->text).empty()) {
            loc.insertAt = line->next;
            loc.insertNeedsBreak = !line->terminated;
        }
    }
    return loc;
}

/// Larger settings files are refused as unreadable: no real one comes near,
/// and a link to /dev/zero or to a growing log must not fill the memory.
constexpr std::size_t MaxFileBytes = std::size_t{16} * 1024 * 1024;

/// The whole file, or nullopt with `problem` saying why it cannot be read;
/// `problem` stays empty for a missing file, which reads as empty. Only a
/// regular file is read (through links), and opening never blocks: a FIFO
/// without a writer would hang every window that reads a setting. Settings
/// another account could change are refused: they name programs to start.
std::optional<std::string> readWholeFile(const std::filesystem::path &file, std::string &problem) {
    if (auto why = core::settingsExposure(file); !why.empty()) {
        problem = why + "; settings another user could change are not used";
        return std::nullopt;
    }
    core::RegularFileRead read = core::readRegularFile(file, MaxFileBytes);
    using Status = core::RegularFileRead::Status;
    switch (read.status) {
    case Status::Read:
        return std::move(read.data);
    case Status::Missing:
        return std::nullopt;
    case Status::NotRegular:
        problem = "not a regular file";
        return std::nullopt;
    case Status::TooLarge:
        problem = "larger than 16 MiB";
        return std::nullopt;
    case Status::Directory: // in the system's words, as EISDIR
    case Status::SymbolicLink:
    case Status::Refused:
    case Status::Unreadable:
        break;
    }
    problem = read.errorText();
    return std::nullopt;
}

std::string singleLine(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        if (c != '\r' && c != '\n' && c != '\0') {
            out.push_back(c);
        }
    }
    return out;
}

/// The value of a pair as a read returns it: one pair of enclosing quotes
/// dropped, cut to MaxValueChars.
std::string readableValue(std::string_view stored) {
    if (stored.size() >= 2 && stored.front() == '"' && stored.back() == '"') {
        stored = stored.substr(1, stored.size() - 2);
    }
    return std::string(core::truncateUtf8(stored, ini::MaxValueChars));
}

std::string lowerAscii(std::string_view text) {
    std::string out(text);
    for (char &c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

std::string indexKey(std::string_view section, std::string_view key) {
    std::string out = lowerAscii(section);
    out.push_back('\0');
    out += lowerAscii(key);
    return out;
}

/// Applies one change to the file's content in memory; the error when the
/// change cannot be made.
std::optional<std::string> apply(std::string &data, const ini::Change &change) {
    const auto cleanSection = singleLine(change.section);
    const auto cleanKey = singleLine(change.key);
    const auto cleanValue = singleLine(change.value);
    if (cleanKey.find('=') != std::string::npos || trim(cleanKey).empty()) {
        return "invalid key name";
    }
    const std::string eol = data.find("\r\n") != std::string::npos ? "\r\n" : "\n";
    const std::string pair = std::string(trim(cleanKey)) + "=" + cleanValue;
    const auto loc = locate(data, trim(cleanSection), trim(cleanKey));

    // A last line without LF gets one; when it ends in a lone CR, which the
    // reader already drops, the LF completes that CR so the line reads the same.
    auto endLastLine = [&eol](std::string &text) {
        text += !text.empty() && text.back() == '\r' ? std::string("\n") : eol;
    };
    std::string out;
    out.reserve(data.size() + pair.size() + cleanSection.size() + 8);
    if (loc.keyLine) {
        // The stored spelling of the key stays; only its value changes.
        const auto end = loc.keyLine->begin + loc.keyLine->text.size();
        out.append(data, 0, loc.keyLine->begin);
        out += std::string(parse(loc.keyLine->text).name) + "=" + cleanValue;
        out.append(data, end, std::string::npos);
    } else if (loc.sectionFound) {
        out.append(data, 0, loc.insertAt);
        if (loc.insertNeedsBreak) {
            endLastLine(out);
        }
        out += pair;
        if (!loc.insertNeedsBreak) {
            out += eol;
        }
        out.append(data, loc.insertAt, std::string::npos);
    } else {
        out = data;
        if (!out.empty() && out.back() != '\n') {
            endLastLine(out);
        }
        out += "[" + std::string(trim(cleanSection)) + "]" + eol + pair + eol;
    }
    data = std::move(out);
    return std::nullopt;
}

} // namespace

namespace ini {

std::string readValue(std::string_view section, std::string_view key,
                      const std::filesystem::path &file) {
    std::string problem;
    const auto data = readWholeFile(file, problem);
    if (!data) {
        return {};
    }
    const auto loc = locate(*data, section, key);
    if (!loc.keyLine) {
        return {};
    }
    return readableValue(parse(loc.keyLine->text).value);
}

Document Document::load(const std::filesystem::path &file, std::string *problem) {
    std::string why;
    auto data = readWholeFile(file, why);
    if (problem) {
        *problem = why;
    }
    return Document(data ? std::move(*data) : std::string());
}

Document::Document(std::string data) : data_(std::move(data)) {
    // The same walk as a lookup makes, once for every pair: a later section of
    // a name already seen is never reached, nor a later pair of a key.
    std::unordered_map<std::string, bool> sectionsSeen;
    std::optional<std::string> current;
    LineReader reader(data_);
    while (auto line = reader.next()) {
        const auto p = parse(line->text);
        if (p.kind == LineKind::Section) {
            auto name = lowerAscii(p.name);
            if (sectionsSeen.emplace(name, true).second) {
                current = std::move(name);
            } else {
                current.reset();
            }
        } else if (p.kind == LineKind::Pair && current) {
            // An empty value may be a view of nothing at all.
            const auto offset =
                p.value.empty() ? 0 : static_cast<std::size_t>(p.value.data() - data_.data());
            values_.try_emplace(*current + '\0' + lowerAscii(p.name),
                                std::pair{offset, p.value.size()});
        }
    }
}

std::string Document::value(std::string_view section, std::string_view key) const {
    const auto found = values_.find(indexKey(section, key));
    if (found == values_.end()) {
        return {};
    }
    return readableValue(std::string_view(data_).substr(found->second.first, found->second.second));
}

WriteResult writeValues(const std::vector<Change> &changes, const std::filesystem::path &file) {
    std::string problem;
    std::string data;
    if (auto existing = readWholeFile(file, problem)) {
        data = std::move(*existing);
    } else if (!problem.empty()) {
        return {false, problem};
    }
    for (const auto &change : changes) {
        if (auto error = apply(data, change)) {
            return {false, std::move(*error)};
        }
    }
    auto result = core::replaceFileAtomically(file, data);
    return {result.ok, std::move(result.error)};
}

WriteResult writeValue(std::string_view section, std::string_view key, std::string_view value,
                       const std::filesystem::path &file) {
    return writeValues({{std::string(section), std::string(key), std::string(value)}}, file);
}

} // namespace ini

namespace core {

std::string settingsReadProblem(const std::filesystem::path &file) {
    std::string problem;
    readWholeFile(file, problem);
    return problem;
}

} // namespace core
