#pragma once
// Shared test helpers: temporary folders, real processes, waits with deadlines.

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace testing_support {

/// A fresh folder under /tmp, removed with everything in it at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::filesystem::path &path() const { return path_; }
    std::filesystem::path operator/(const std::string &name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

/// Polls `condition` until it holds or `timeout` passes; true when it held.
bool waitUntil(const std::function<bool()> &condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(10),
               std::chrono::milliseconds poll = std::chrono::milliseconds(5));

std::string readFile(const std::filesystem::path &file);
/// How often `piece` occurs in `text`, overlaps included.
int occurrences(const std::string &text, const std::string &piece);
void writeFile(const std::filesystem::path &file, const std::string &content);

/// A name no other test run uses, for copies of binaries that are watched.
std::string uniqueName(const std::string &stem);

/// Copies `source` (for example /bin/sleep) to `folder`/`name`, executable.
std::filesystem::path copyExecutable(const std::filesystem::path &source,
                                     const std::filesystem::path &folder, const std::string &name);

/// Copies the perstando executable and the windowed module it loads from its
/// own folder to `folder`, the executable as `name`; the executable's path.
std::filesystem::path copyPerstando(const std::filesystem::path &folder,
                                    const std::string &name = "perstando");

/// A child process started by the test; killed and reaped at the end.
/// `extraEnv` entries (NAME=value) replace inherited variables of the same name.
class Child {
public:
    Child() = default;
    Child(const std::vector<std::string> &argv, const std::filesystem::path &cwd = {},
          const std::vector<std::string> &extraEnv = {});
    ~Child();
    Child(Child &&other) noexcept;
    Child &operator=(Child &&other) noexcept;
    pid_t pid() const { return pid_; }
    bool running();
    /// Sends `signal` and waits for the child to end; returns its wait status.
    int stop(int signal = 9);
    /// Waits up to `timeout` for the child to end on its own; -1 if it did not.
    int waitExit(std::chrono::milliseconds timeout);

private:
    pid_t pid_ = -1;
    int status_ = -1;
};

/// PIDs of live (not zombie) processes whose /proc/PID/exe is `exe`.
std::vector<pid_t> pidsOf(const std::filesystem::path &exe);

/// The working directory of a process.
std::filesystem::path cwdOf(pid_t pid);

/// True once `pid` holds a socket, as a program holding its single-instance lock does.
bool holdsASocket(pid_t pid);

/// Kills every process whose executable is `exe`.
void killAll(const std::filesystem::path &exe);

/// Where a test that needs to choose PIDs runs: rerunAsPidOne() starts the
/// named test again as PID 1 of a PID namespace of its own.
enum class PidNamespace {
    Inside,      ///< this is the rerun: go on with the test
    RanThere,    ///< the rerun ended; `status` holds its exit status
    Unavailable, ///< no namespace can be made here
};
PidNamespace rerunAsPidOne(const std::string &testName, int &status);

struct ShellRun {
    int status = -1;    ///< exit status; -1 when it did not exit
    std::string output; ///< stdout and stderr
};
/// `command` run by the shell, with its output and exit status.
ShellRun shell(const std::string &command);

} // namespace testing_support
