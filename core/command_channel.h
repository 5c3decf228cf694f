#pragma once
// Commands from a shell to the running copy: the client sends one request
// line and reads the reply until the running copy closes the connection. The
// reply's first line is "ok" or "refused"; the rest is the text to show.

#include "core/unique_fd.h"

#include <string>

namespace core::commands {

/// The longest request the running copy reads, in bytes.
constexpr std::size_t MaxRequest = 4096;

enum class Outcome {
    Done,    ///< the running copy did it; `text` for stdout
    Refused, ///< refused or failed; `text` says why
    NoCopy,  ///< nothing listens for this settings folder
};

struct Answer {
    Outcome outcome = Outcome::NoCopy;
    std::string text;
};

/// Sends `request` to the copy holding the instance lock for `key`.
Answer send(const std::string &key, const std::string &request);

/// `text` safe for a terminal: control characters other than the line
/// breaks (C0, DEL, C1, U+2028, U+2029) as visible escapes, `\x1b` for a
/// byte and `\u0085` for a character.
std::string visible(const std::string &text);

/// The reply as sent on the wire.
std::string reply(bool ok, const std::string &text);

// The running copy's side; every descriptor is non-blocking.

/// A connection taken from the listening socket; empty when none waits.
UniqueFd accept(int listeningFd);
/// Whether the peer runs as our account or as root.
bool peerTrusted(int fd);

enum class Read { More, Line, Closed, TooLong };
/// Appends what can be read now to `buffer`; Line once it holds a full line
/// (without its newline then).
Read readRequest(int fd, std::string &buffer);
/// Writes all of `data`, or what fits now on a non-blocking socket (replies
/// are far below its buffer); false when not all of it went.
bool write(int fd, const std::string &data);

} // namespace core::commands
