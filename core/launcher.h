#pragma once
// Starting other programs: the start by association (an executable runs, any
// other file opens with the desktop's default application) and the start of a
// command line the way a user types it.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace launcher {

/// Why a start failed.
enum class Failure {
    None,
    FileNotFound,
    PathNotFound,
    AccessDenied,
    OutOfMemory,
    BadFormat,
    NoAssociation
};

struct Result {
    Failure failure = Failure::None;
    /// The started program's process, there when start() returns; 0 when the
    /// start failed or a document was opened by association (no PID is known
    /// for its viewer).
    int pid = 0;
    /// The output logger of a start with OutputCapture; 0 without one.
    int loggerPid = 0;
    /// Why the output asked for is not kept (the program then writes to
    /// /dev/null); empty when it is, or none was asked for.
    std::string outputProblem{};
    bool ok() const { return failure == Failure::None; }
};

/// A started program's stdout and stderr, kept by a logger process of its
/// own (core/output_log.h) instead of going to /dev/null.
struct OutputCapture {
    std::string logger; ///< the logger program
    std::string path;   ///< the output file, absolute
    std::uint64_t maxBytes = 0;
    int files = 0;
};

/// The file start() starts for `file` in `directory`: an absolute path as
/// given; else `file` in `directory` (itself taken from the current
/// directory when relative); else, when that does not exist and `file` is a
/// bare name, the executable of that name on PATH. Links and ".." are kept,
/// as exec gets them; the path need not exist.
std::filesystem::path locate(const std::string &file, const std::string &directory);

/// Starts `program` with `arguments` (split quote-aware) in `folder`: an
/// executable is started detached (own session, stdio on /dev/null, no
/// inherited descriptors, never left a zombie, outlives Perstando); a folder
/// is refused (AccessDenied); any other file is opened with the desktop's
/// default application, which fails the start when it reports failure within
/// two seconds (the call then returns that late at most). The file is found by
/// locate(). `environment` ("NAME=value" entries) is added to Perstando's own
/// for the started program, replacing a variable of the same name. With
/// `output`, an executable's stdout and stderr go to its logger, started
/// first; when the file or the logger fails, to /dev/null, and the result says why.
Result start(const std::string &program, const std::string &arguments, const std::string &folder,
             const std::vector<std::string> &environment = {},
             const OutputCapture *output = nullptr);

/// Splits a command line into words: blanks separate them, double quotes group them.
std::vector<std::string> splitCommandLine(const std::string &line);

/// Starts words[0] with the other words as its arguments, detached like start(),
/// in the current directory; never through a shell or the default application.
/// words[0] without a '/' is looked up on PATH.
Result startDirect(const std::vector<std::string> &words);

/// How runCommandLine reads a command line.
struct CommandParts {
    std::string program;
    std::string arguments;
    std::string directory;
};

/// runCommandLine's split and directory rule: a leading quoted program loses its
/// two quotes in `commandLine`; without `directory`, the program's folder ("/"
/// for a program directly under the root) or, without a folder, the current
/// directory.
CommandParts splitCommand(std::string &commandLine, const std::optional<std::string> &directory);

/// Splits `commandLine` into program and arguments, derives the working
/// directory from the program's folder when `directory` is absent, and starts
/// it by association; when that fails it starts the whole line directly, never
/// through a shell. False when both failed. A line that starts with a double
/// quote has its two quotes removed in the caller's string.
bool runCommandLine(std::string &commandLine,
                    const std::optional<std::string> &directory = std::nullopt);

/// For a child between fork and exec (a child-process hook): makes it the
/// leader of a session and process group of its own, so that killGroup()
/// reaches whatever it starts.
void leadOwnGroup() noexcept;

/// SIGKILL to every process of the group `leader` leads. Only for a leader
/// that is a child not yet reaped, so the group cannot be another's.
void killGroup(int leader) noexcept;

} // namespace launcher
