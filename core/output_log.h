#pragma once
// A started program's stdout and stderr, kept in a file of the user's
// choosing. A logger process of its own (outputlog) reads the two pipes, so
// the program keeps writing while Perstando ends or restarts. Each line is
// written as "<time> out <text>" or "<time> err <text>", the time in ISO 8601
// with milliseconds and the local offset ("2026-12-09T21:03:04.123+01:00").
// The file is rotated at its cap (PATH, PATH.1, ...); a line that cannot be
// written (a full disk) is dropped and counted, and the program never waits
// for the disk: once writes succeed again, a line "<time> --- 12 lines
// dropped: No space left on device" tells how many were lost. A rotation that
// fails drops lines the same way, so the cap holds: the full file says why,
// once ("<time> --- not rotated: PATH: is a symbolic link; ...").
//
// Only this user's own files are written, in a folder no other account can
// change (as settings.ini is judged): the folder is opened once and every
// rotation works inside it, never through a link.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace outputlog {

/// The logger program's name, beside Perstando's own.
inline constexpr const char *ProgramName = "outputlog";

/// How the logger is started: descriptor 3 reads the program's stdout, 4 its
/// stderr, 5 is the output file opened for appending; argv is
/// { ProgramName, path, maxBytes, files }.
inline constexpr int OutFd = 3;
inline constexpr int ErrFd = 4;
inline constexpr int FileFd = 5;

struct Limits {
    /// The file never grows past this; it is rotated before a write that would.
    std::uint64_t maxBytes = std::uint64_t{1024} * 1024;
    /// Files kept, PATH among them: 3 keeps PATH, PATH.1 and PATH.2. 1
    /// empties PATH at its cap.
    int files = 3;
};

/// The limits as the settings give them: a size of 0 KiB is the default
/// size; fewer than 1 file is 1, more than 99 is 99.
Limits limitsFrom(int kib, int files);

/// "2026-12-09T21:03:04.123+01:00", local time.
std::string timeStamp(std::chrono::system_clock::time_point at);

/// Milliseconds since the epoch of a line's leading time stamp; -1 when the
/// line does not start with one.
std::int64_t lineTime(const std::string &line);

/// Opens `path` for the logger: appending, created 0600 when missing, not
/// through a symbolic link (rotation renames the path, which a link would
/// defeat), only a regular file of this user that no other account can
/// change, in a folder no other account can change. -1 with `problem` set
/// ("is not a regular file", "its folder /x belongs to another user (uid
/// 1001)", or the system's reason) otherwise.
int openOutputFile(const std::string &path, std::string &problem);

/// The logger's work: reads `out` and `err` until both are closed, writing
/// their lines to `file` (already open as openOutputFile opens it, named
/// `path` for rotation). A partial line is written when its stream is idle
/// for half a second or ends; a line longer than 16 KiB is cut into pieces
/// of that size. Returns 0 once both streams have ended.
int run(int out, int err, int file, const std::string &path, const Limits &limits);

/// The last `count` lines of the output kept at `path` (and its rotated
/// predecessor PATH.1 when PATH has too few) whose time stamp lies in
/// [fromMs, toMs), oldest first. Each is cut to 300 characters, with its
/// control characters (all below 0x20 but the tab, and 0x7f) shown as
/// "\xNN". Reads only the files' last 64 KiB.
std::vector<std::string> lastLines(const std::string &path, std::size_t count, std::int64_t fromMs,
                                   std::int64_t toMs);

} // namespace outputlog
