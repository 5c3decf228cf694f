#pragma once
// Starting other programs: the start by association (the shell's "open") and
// ShellRun, which splits a command line the way a user types it.

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace core {

/// Window styles the callers pass; X11 has no equivalent, they are accepted and ignored.
inline constexpr int SW_SHOWNORMAL = 1;
inline constexpr int SW_SHOWNOACTIVATE = 4;

/// Result codes of a start by association: above 31 is success.
inline constexpr int ShellSuccess = 42;
inline constexpr int ShellFileNotFound = 2;
inline constexpr int ShellPathNotFound = 3;
inline constexpr int ShellAccessDenied = 5;
inline constexpr int ShellOutOfMemory = 8;
inline constexpr int ShellBadFormat = 11;
inline constexpr int ShellNoAssociation = 31;

/// The file shellOpen starts for `file` in `directory`: an absolute path as
/// given; else `file` in `directory` (itself taken from the current
/// directory when relative); else, when that does not exist and `file` is a
/// bare name, the executable of that name on PATH. Links and ".." are kept,
/// as exec gets them; the path need not exist.
std::filesystem::path locateProgram(const std::string &file, const std::string &directory);

/// Starts `file` with `parameters` (split quote-aware) in `directory`: an
/// executable is started detached (own session, stdio on /dev/null, no
/// inherited descriptors, never left a zombie, outlives Perstando); a folder
/// is refused (ShellAccessDenied); any other file is opened with the desktop's
/// default application, which fails the start when it reports failure within
/// two seconds (the call then returns that late at most). The file is found by
/// locateProgram. Returns ShellSuccess, or the error code when it cannot be
/// started.
int shellOpen(const std::string &file, const std::string &parameters, const std::string &directory,
              int windowStyle);

/// Splits a command line into words: blanks separate them, double quotes group them.
std::vector<std::string> splitCommandLine(const std::string &line);

/// Starts words[0] with the other words as its arguments, detached like shellOpen,
/// in the current directory; never through a shell or the default application.
/// words[0] without a '/' is looked up on PATH. Returns ShellSuccess or an error code.
int startDirect(const std::vector<std::string> &words, int windowStyle);

} // namespace core

namespace shellmod {

/// Both the start by association and the direct start of the whole line failed.
class StartFailed : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// How ShellRun reads a command line.
struct CommandParts {
    std::string program;
    std::string arguments;
    std::string directory;
};

/// ShellRun's split and directory rule: a leading quoted program loses its two
/// quotes in `commandLine`; without `directory`, the program's folder ("/" for
/// a program directly under the root) or, without a folder, the current directory.
CommandParts splitCommand(std::string &commandLine, const std::optional<std::string> &directory);

/// Splits `commandLine` into program and arguments, derives the working
/// directory from the program's folder when `directory` is absent, and starts
/// it by association; below 32 it starts the whole line directly, never through
/// a shell, and throws StartFailed when that fails too. A line that starts with
/// a double quote has its two quotes removed in the caller's string.
int ShellRun(std::string &commandLine, int windowStyle,
             const std::optional<std::string> &directory = std::nullopt);

} // namespace shellmod
