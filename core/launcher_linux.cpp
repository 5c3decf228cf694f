// Starting programs on Linux. An executable is started detached through two
// children that borrow Perstando's memory instead of copying it (clone with
// CLONE_VM, then vfork): the intermediate child starts the program, which
// leads a session of its own, and exits at once; it is reaped here, so the
// program is no child of Perstando, leaves no zombie in it and outlives it.
// The intermediate child reports the program's PID and the program a failed
// exec through a close-on-exec pipe, so the caller knows both before it
// returns. Any other file goes to the desktop's default application (xdg-open).
// A program whose output is kept writes into two pipes read by its logger,
// started the same way just before it, so both outlive Perstando.

#include "core/launcher.h"
#include "core/output_log.h"
#include "core/read_fully.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

extern char **environ;

namespace launcher {
namespace {

/// A report through the pipe: where a start failed, or (Started) the program's PID.
enum class Stage : int { None = 0, Started, Fork, Directory, Stdio, Exec, EarlyExit };

/// How long a program started with a grace time has to fail: xdg-open gives
/// up within milliseconds when nothing opens the file.
constexpr int OpenerGraceMs = 2000;

struct SpawnOutcome {
    Stage stage = Stage::None;
    int error = 0; ///< errno or wait status; the PID for Started
};

struct SpawnResult {
    SpawnOutcome failure;
    pid_t pid = 0;
};

/// The descriptors a started program gets: number i is stdio[i], -1 for
/// /dev/null. Every source lies at or above AboveMapped, so setting up one
/// number never overwrites the source of another.
struct ChildFds {
    static constexpr int Count = 6;
    int fds[Count] = {-1, -1, -1, -1, -1, -1};
    int used = 3; ///< how many of them the program gets; 0 to 2 always
};

/// Where Perstando moves the descriptors it hands to or keeps from a child.
constexpr int AboveMapped = 10;
static_assert(ChildFds::Count < AboveMapped);

/// What the child may use after fork: no allocation, no locks.
struct SpawnPlan {
    const char *path;
    char *const *argv;
    const char *directory; // nullptr: keep the current directory
    int maxFd;
    char *const *envp;
    const ChildFds *stdio;
};

// The children run in Perstando's memory until the program's exec: their code
// must not leave the sanitizer's marks on a stack that is unmapped afterwards.
#if defined(__SANITIZE_ADDRESS__)
#define CHILD_SIDE __attribute__((no_sanitize_address))
#else
#define CHILD_SIDE
#endif

CHILD_SIDE void report(int pipeFd, Stage stage, int value) {
    const SpawnOutcome outcome{stage, value};
    // Nothing to do about a failed write: the parent then reads EOF. A report
    // is smaller than PIPE_BUF, so the two writers never interleave.
    [[maybe_unused]] const ssize_t n = ::write(pipeFd, &outcome, sizeof outcome);
}

[[noreturn]] CHILD_SIDE void reportAndExit(int pipeFd, Stage stage, int error) {
    report(pipeFd, stage, error);
    ::_exit(127);
}

/// Marks every descriptor from `first` on close-on-exec, so the program
/// inherits only what it was given (the report pipe closes with the exec).
CHILD_SIDE void closeOnExecFrom(int first, int maxFd) {
    if (::close_range(static_cast<unsigned>(first), ~0U, CLOSE_RANGE_CLOEXEC) == 0) {
        return;
    }
    // Older kernels: walk /proc/self/fd with raw getdents64, which is safe after fork.
    const int dir = ::open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        alignas(8) char buf[4096];
        long n;
        while ((n = ::syscall(SYS_getdents64, dir, buf, sizeof buf)) > 0) {
            for (long off = 0; off < n;) {
                const auto *entry = reinterpret_cast<const dirent64 *>(buf + off);
                int fd = 0;
                const char *c = entry->d_name;
                for (; *c >= '0' && *c <= '9'; ++c) {
                    fd = fd * 10 + (*c - '0');
                }
                if (*c == '\0' && c != entry->d_name && fd >= first && fd != dir) {
                    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
                }
                off += entry->d_reclen;
            }
        }
        ::close(dir);
        return;
    }
    for (int fd = first; fd < maxFd; ++fd) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
}

[[noreturn]] CHILD_SIDE void runProgram(const SpawnPlan &plan, int pipeFd) {
    ::setsid(); // a session of its own: no hangup or job control from Perstando's terminal
    // Perstando's blocked and ignored signals are not the program's business.
    // The handlers go first: until the exec, a handler of Perstando's would
    // run in Perstando's own memory.
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) {
        ::sigaction(sig, &defaults, nullptr);
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (plan.directory && ::chdir(plan.directory) != 0) {
        reportAndExit(pipeFd, Stage::Directory, errno);
    }
    const ChildFds &stdio = *plan.stdio;
    const int opened = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    // Above the numbers set up below, where it could be overwritten before its last use.
    const int devNull = opened < 0 ? -1 : ::fcntl(opened, F_DUPFD_CLOEXEC, AboveMapped);
    if (devNull < 0) {
        reportAndExit(pipeFd, Stage::Stdio, errno);
    }
    ::close(opened);
    for (int fd = 0; fd < stdio.used; ++fd) {
        // dup2 leaves the copy open across the exec.
        if (::dup2(stdio.fds[fd] >= 0 ? stdio.fds[fd] : devNull, fd) < 0) {
            reportAndExit(pipeFd, Stage::Stdio, errno);
        }
    }
    closeOnExecFrom(stdio.used, plan.maxFd);
    ::execve(plan.path, plan.argv, plan.envp);
    reportAndExit(pipeFd, Stage::Exec, errno);
}

/// A descriptor moved above those a child gets, so that setting those up in
/// the child cannot overwrite it; -1 when `fd` is.
int aboveMapped(int fd) {
    if (fd < 0 || fd >= AboveMapped) {
        return fd;
    }
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, AboveMapped);
    ::close(fd);
    return moved;
}

/// In the intermediate child: waits up to `graceMs` for the program and reports
/// any end but exit status 0 meanwhile. Async-signal-safe calls only.
CHILD_SIDE void reportEarlyExit(pid_t program, int graceMs, int pipeFd) {
    // Perstando's SIGCHLD handler, if any, must not reap the program first.
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    ::sigaction(SIGCHLD, &defaults, nullptr);
    timespec start{};
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        int status = 0;
        const pid_t ended = ::waitpid(program, &status, WNOHANG);
        if (ended == program) {
            if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
                reportAndExit(pipeFd, Stage::EarlyExit, status);
            }
            return;
        }
        if (ended < 0 && errno != EINTR) {
            return;
        }
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        const long elapsedMs =
            (now.tv_sec - start.tv_sec) * 1000L + (now.tv_nsec - start.tv_nsec) / 1000000L;
        if (elapsedMs >= graceMs) {
            return; // still running: started
        }
        const timespec step{0, 5L * 1000 * 1000};
        ::nanosleep(&step, nullptr);
    }
}

/// The intermediate child: starts the program, reports its PID and, with
/// `graceMs`, its early end. Both borrow Perstando's memory instead of copying
/// it, which would cost a millisecond per 20 MB it holds, and Perstando waits
/// meanwhile. Async-signal-safe calls only, every signal blocked.
[[noreturn]] CHILD_SIDE void runIntermediate(const SpawnPlan &plan, int writeFd, int graceMs) {
    // In memory, not in a register the program's side may have reused.
    const volatile int pipeFd = writeFd;
    const pid_t program = ::vfork();
    if (program < 0) {
        reportAndExit(pipeFd, Stage::Fork, errno);
    }
    if (program == 0) {
        runProgram(plan, pipeFd);
    }
    report(pipeFd, Stage::Started, program);
    if (graceMs > 0) {
        reportEarlyExit(program, graceMs, pipeFd);
    }
    ::_exit(0);
}

struct IntermediateCall {
    const SpawnPlan *plan;
    int writeFd;
    int graceMs;
};

CHILD_SIDE int intermediateEntry(void *raw) {
    const auto *call = static_cast<const IntermediateCall *>(raw);
    runIntermediate(*call->plan, call->writeFd, call->graceMs);
}

/// The intermediate child, on a stack of its own in Perstando's memory; the
/// caller is held until it has exited, so its stack can go at once. -1 with
/// errno set when it could not be made.
pid_t startIntermediate(const IntermediateCall &call) {
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer's runtime cannot follow a child in its memory: a copy.
    const pid_t intermediate = ::fork();
    if (intermediate == 0) {
        intermediateEntry(const_cast<IntermediateCall *>(&call));
    }
    return intermediate;
#else
    constexpr std::size_t StackSize = std::size_t{256} * 1024;
    void *stack = ::mmap(nullptr, StackSize, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (stack == MAP_FAILED) {
        return -1;
    }
    // No handler of Perstando's may run in a child that shares its memory: the
    // program unblocks them once it has its own.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &previous);
    auto *argument = const_cast<IntermediateCall *>(&call);
    const pid_t intermediate = ::clone(intermediateEntry, static_cast<char *>(stack) + StackSize,
                                       CLONE_VM | CLONE_VFORK | SIGCHLD, argument);
    const int error = errno;
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    ::munmap(stack, StackSize);
    errno = error;
    return intermediate;
#endif
}

/// Starts `path` detached. With `graceMs`, the start also fails when the
/// program ends with anything but success within that time; the caller then
/// waits that long at most.
SpawnResult spawnDetached(const std::string &path, const std::vector<std::string> &args,
                          const std::string &directory, int graceMs = 0,
                          const std::vector<std::string> &environment = {},
                          const ChildFds &stdio = {}) {
    // Built here: the child may not allocate.
    std::vector<char *> envp;
    if (!environment.empty()) {
        const auto nameOf = [](std::string_view entry) { return entry.substr(0, entry.find('=')); };
        for (char **entry = environ; entry && *entry; ++entry) {
            const std::string_view name = nameOf(*entry);
            const bool replaced =
                std::any_of(environment.begin(), environment.end(),
                            [&](const std::string &extra) { return nameOf(extra) == name; });
            if (!replaced) {
                envp.push_back(*entry);
            }
        }
        // A name given twice: the later one counts.
        for (auto extra = environment.begin(); extra != environment.end(); ++extra) {
            const std::string_view name = nameOf(*extra);
            if (std::none_of(extra + 1, environment.end(),
                             [&](const std::string &later) { return nameOf(later) == name; })) {
                envp.push_back(const_cast<char *>(extra->c_str()));
            }
        }
        envp.push_back(nullptr);
    }
    std::vector<char *> argv;
    argv.reserve(args.size() + 1);
    for (const auto &arg : args) {
        argv.push_back(const_cast<char *>(arg.c_str()));
    }
    argv.push_back(nullptr);
    rlimit limit{};
    const int maxFd = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < 65536
                          ? static_cast<int>(limit.rlim_cur)
                          : 65536;
    const SpawnPlan plan{path.c_str(),
                         argv.data(),
                         directory.empty() ? nullptr : directory.c_str(),
                         maxFd,
                         envp.empty() ? environ : envp.data(),
                         &stdio};

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        return {{Stage::Fork, errno}};
    }
    const int readFd = aboveMapped(fds[0]);
    const int writeFd = aboveMapped(fds[1]);
    if (readFd < 0 || writeFd < 0) {
        const int error = errno;
        ::close(readFd);
        ::close(writeFd);
        return {{Stage::Fork, error}};
    }

    const pid_t intermediate = startIntermediate({&plan, writeFd, graceMs});
    if (intermediate < 0) {
        const int error = errno;
        ::close(readFd);
        ::close(writeFd);
        return {{Stage::Fork, error}};
    }
    ::close(writeFd);
    while (::waitpid(intermediate, nullptr, 0) < 0 && errno == EINTR) {
    }
    // EOF: the exec succeeded and closed the pipe's last writer. Before it,
    // the PID and at most one failure, in either order.
    SpawnOutcome reports[3]{};
    const std::size_t got =
        core::readFully(readFd, reinterpret_cast<char *>(reports), sizeof reports);
    ::close(readFd);
    SpawnResult result;
    for (std::size_t i = 0; i < got / sizeof(SpawnOutcome); ++i) {
        if (reports[i].stage == Stage::Started) {
            result.pid = reports[i].error;
        } else if (result.failure.stage == Stage::None) {
            result.failure = reports[i];
        }
    }
    if (result.failure.stage != Stage::None) {
        result.pid = 0;
    }
    return result;
}

Result resultOf(const SpawnOutcome &failure) {
    switch (failure.stage) {
    case Stage::None:
    case Stage::Started:
        return {Failure::None};
    case Stage::Fork:
        return {Failure::OutOfMemory};
    case Stage::Directory:
        return {failure.error == EACCES ? Failure::AccessDenied : Failure::PathNotFound};
    case Stage::Stdio:
        return {Failure::AccessDenied};
    case Stage::EarlyExit:
        return {Failure::NoAssociation};
    case Stage::Exec:
        break;
    }
    switch (failure.error) {
    case ENOENT:
    case ENOTDIR:
    case ELOOP:
    case ENAMETOOLONG:
        return {Failure::FileNotFound};
    case ENOMEM:
    case E2BIG:
    case EAGAIN:
        return {Failure::OutOfMemory};
    case ENOEXEC:
    case ELIBBAD:
    case EINVAL:
        return {Failure::BadFormat};
    default:
        return {Failure::AccessDenied};
    }
}

bool isExecutableFile(const std::filesystem::path &file) {
    struct stat st {};
    return ::stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::access(file.c_str(), X_OK) == 0;
}

std::filesystem::path absoluteFrom(const std::filesystem::path &base,
                                   const std::filesystem::path &path) {
    if (path.is_absolute()) {
        return path;
    }
    std::error_code ec;
    const auto cwd = std::filesystem::current_path(ec);
    return base.is_absolute() ? base / path : cwd / base / path;
}

/// An executable `name` on PATH (empty entries, meaning the current directory, are skipped).
std::filesystem::path findOnPath(const std::string &name) {
    std::string search;
    if (const char *env = std::getenv("PATH")) {
        search = env;
    } else {
        search.resize(::confstr(_CS_PATH, nullptr, 0));
        ::confstr(_CS_PATH, search.data(), search.size());
        search.resize(search.find('\0'));
    }
    std::size_t start = 0;
    while (start <= search.size()) {
        auto end = search.find(':', start);
        if (end == std::string::npos) {
            end = search.size();
        }
        if (end > start) {
            auto candidate = absoluteFrom({}, search.substr(start, end - start)) / name;
            if (isExecutableFile(candidate)) {
                return candidate;
            }
        }
        start = end + 1;
    }
    return {};
}

/// Opens `file` with the desktop's default application. xdg-open fails within
/// milliseconds when nothing can open the file; where it runs the viewer in
/// the foreground (desktops without a launcher of their own) it has not
/// failed within the grace time, and counts as started.
Result openWithDefaultApplication(const std::filesystem::path &file, const std::string &directory) {
    const auto opener = findOnPath("xdg-open");
    if (opener.empty()) {
        return {Failure::NoAssociation};
    }
    // The opener's PID is no program's: the document's viewer is not known.
    const SpawnResult opened =
        spawnDetached(opener, {opener.string(), file.string()}, directory, OpenerGraceMs);
    return {opened.failure.stage == Stage::None ? Failure::None : Failure::NoAssociation};
}

/// A program's two output pipes and its output file, until its logger has them.
struct Capture {
    ChildFds stdio;      ///< the write ends as the program's stdout and stderr
    ChildFds logger;     ///< the read ends and the file, as the logger gets them
    std::string problem; ///< why there is no capture
    ~Capture() {
        for (const ChildFds *fds : {&stdio, &logger}) {
            for (const int fd : fds->fds) {
                if (fd >= 0) {
                    ::close(fd);
                }
            }
        }
    }
    bool ready() const { return logger.fds[outputlog::FileFd] >= 0; }
};

/// A pipe whose two ends lie above the numbers a child gets; false with errno set.
bool mappablePipe(int (&ends)[2]) {
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        return false;
    }
    ends[0] = aboveMapped(ends[0]);
    ends[1] = aboveMapped(ends[1]);
    if (ends[0] >= 0 && ends[1] >= 0) {
        return true;
    }
    const int error = errno;
    ::close(ends[0]);
    ::close(ends[1]);
    errno = error;
    return false;
}

/// Opens the output file and makes the two pipes. Without them the program
/// writes to /dev/null and `problem` says why.
void prepareCapture(const OutputCapture &output, Capture &capture) {
    // Checked first: once the program writes into the pipes, a logger that
    // cannot start would leave it writing into pipes nobody reads.
    errno = 0;
    if (!isExecutableFile(output.logger)) {
        capture.problem = "the logger " + output.logger +
                          " cannot be started: " + std::strerror(errno != 0 ? errno : EACCES);
        return;
    }
    std::string problem;
    const int file = aboveMapped(outputlog::openOutputFile(output.path, problem));
    if (file < 0) {
        capture.problem = output.path + ": " + problem;
        return;
    }
    int out[2];
    int err[2];
    if (!mappablePipe(out)) {
        capture.problem = std::strerror(errno);
        ::close(file);
        return;
    }
    if (!mappablePipe(err)) {
        capture.problem = std::strerror(errno);
        ::close(out[0]);
        ::close(out[1]);
        ::close(file);
        return;
    }
    // Room for a burst while the logger starts or waits for the disk; the default if refused.
    constexpr int PipeBytes = 256 * 1024;
    ::fcntl(out[1], F_SETPIPE_SZ, PipeBytes);
    ::fcntl(err[1], F_SETPIPE_SZ, PipeBytes);
    capture.stdio.fds[1] = out[1];
    capture.stdio.fds[2] = err[1];
    capture.logger.used = outputlog::FileFd + 1;
    capture.logger.fds[outputlog::OutFd] = out[0];
    capture.logger.fds[outputlog::ErrFd] = err[0];
    capture.logger.fds[outputlog::FileFd] = file;
}

/// Starts the logger of a program started on `capture`'s pipes; its PID, or
/// 0 with `problem` set.
int startLogger(const OutputCapture &output, Capture &capture) {
    const SpawnResult logger = spawnDetached(
        output.logger,
        {output.logger, output.path, std::to_string(output.maxBytes), std::to_string(output.files)},
        {}, 0, {}, capture.logger);
    if (logger.failure.stage != Stage::None) {
        capture.problem = "the logger " + output.logger +
                          " cannot be started: " + std::strerror(logger.failure.error);
        return 0;
    }
    return logger.pid;
}

} // namespace

std::filesystem::path locate(const std::string &file, const std::string &directory) {
    const std::filesystem::path given(file);
    std::filesystem::path inDirectory = absoluteFrom(directory, given);
    struct stat st {};
    if (given.has_parent_path() || ::stat(inDirectory.c_str(), &st) == 0) {
        return inDirectory;
    }
    const auto onPath = findOnPath(file);
    return onPath.empty() ? inDirectory : onPath;
}

Result start(const std::string &program, const std::string &arguments, const std::string &folder,
             const std::vector<std::string> &environment, const OutputCapture *output) {
    struct stat st {};
    if (!folder.empty()) {
        if (::stat(folder.c_str(), &st) != 0) {
            return {errno == EACCES ? Failure::AccessDenied : Failure::PathNotFound};
        }
        if (!S_ISDIR(st.st_mode)) {
            return {Failure::PathNotFound};
        }
    }
    if (program.empty()) {
        return {Failure::FileNotFound};
    }

    const std::filesystem::path target = locate(program, folder);
    if (::stat(target.c_str(), &st) != 0) {
        if (errno == EACCES) {
            return {Failure::AccessDenied};
        }
        return {errno == ENOTDIR || ::access(target.parent_path().c_str(), F_OK) != 0
                    ? Failure::PathNotFound
                    : Failure::FileNotFound};
    }
    // A folder opens no program: starting one would report a restart of nothing.
    if (S_ISDIR(st.st_mode)) {
        return {Failure::AccessDenied};
    }

    if (!S_ISREG(st.st_mode) || ::access(target.c_str(), X_OK) != 0) {
        return openWithDefaultApplication(target, folder);
    }
    std::vector<std::string> argv{target.string()};
    for (auto &word : splitCommandLine(arguments)) {
        argv.push_back(std::move(word));
    }
    Capture capture;
    if (output) {
        prepareCapture(*output, capture);
    }
    // The program first: a logger started just before it would hold up its
    // start while the scheduler runs the logger's own.
    const SpawnResult spawned = spawnDetached(target, argv, folder, 0, environment, capture.stdio);
    if (spawned.failure.stage == Stage::Exec && spawned.failure.error == ENOEXEC) {
        // Marked executable but no program, as every program on a FAT or NTFS mount is.
        return openWithDefaultApplication(target, folder);
    }
    Result result = resultOf(spawned.failure);
    result.pid = spawned.pid;
    if (result.ok() && capture.ready()) {
        result.loggerPid = startLogger(*output, capture);
    }
    result.outputProblem = std::move(capture.problem);
    return result;
}

Result startDirect(const std::vector<std::string> &words) {
    if (words.empty() || words.front().empty()) {
        return {Failure::FileNotFound};
    }
    const std::string &program = words.front();
    const std::filesystem::path path =
        program.find('/') != std::string::npos ? absoluteFrom({}, program) : findOnPath(program);
    if (path.empty()) {
        return {Failure::FileNotFound};
    }
    const SpawnResult spawned = spawnDetached(path, words, {});
    Result result = resultOf(spawned.failure);
    result.pid = spawned.pid;
    return result;
}

void leadOwnGroup() noexcept {
    ::setsid();
}

void killGroup(int leader) noexcept {
    if (leader > 0) {
        ::kill(-leader, SIGKILL);
    }
}

} // namespace launcher
