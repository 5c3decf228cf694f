// The keeper is a fork of Perstando that never execs: it makes itself the
// subreaper of what it starts, so an orphan of the command's comes back to
// it and not to Perstando. Its side runs in a copy of a threaded process,
// where other threads' locks are copied held: it allocates nothing and uses
// async-signal-safe calls only. A signal to itself goes through
// kill(getpid()), as the thread's cached identity may be stale.

#include "core/kept_command.h"

#include "core/child_reaper.h"
#include "core/read_fully.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace {

enum class Stage : int { Directory = 1, Stdio, Fork, Exec };

struct Report {
    Stage stage;
    int error;
};

void report(int fd, Stage stage, int error) {
    const Report made{stage, error};
    // Nothing to do about a failed write: the parent then reads nothing.
    [[maybe_unused]] const ssize_t n = ::write(fd, &made, sizeof made);
}

[[noreturn]] void runCommand(const char *path, char *const *argv, const char *directory,
                             int outputPipe, int reportPipe) {
    // Above 0 to 2 first, so that setting those up cannot overwrite either.
    const int reportFd = ::fcntl(reportPipe, F_DUPFD_CLOEXEC, 3);
    const int outputFd = ::fcntl(outputPipe, F_DUPFD_CLOEXEC, 3);
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (directory != nullptr && ::chdir(directory) != 0) {
        report(reportFd, Stage::Directory, errno);
        ::_exit(127);
    }
    const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (devNull < 0 || ::dup2(devNull, 0) < 0 || ::dup2(outputFd, 1) < 0 ||
        ::dup2(outputFd, 2) < 0) {
        report(reportFd, Stage::Stdio, errno);
        ::_exit(127);
    }
    // Only 0 to 2 go along; the report pipe closes with the exec.
    ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    ::execve(path, argv, environ);
    report(reportFd, Stage::Exec, errno);
    ::_exit(127);
}

/// "/proc/self/task/<pid>/children": the children of a single-threaded process.
void childrenPath(char (&path)[64]) {
    constexpr char start[] = "/proc/self/task/";
    constexpr char end[] = "/children";
    char digits[16];
    int count = 0;
    for (pid_t pid = ::getpid(); pid > 0 && count < 15; pid /= 10) {
        digits[count++] = static_cast<char>('0' + pid % 10);
    }
    std::memcpy(path, start, sizeof start - 1);
    std::size_t at = sizeof start - 1;
    while (count > 0) {
        path[at++] = digits[--count];
    }
    std::memcpy(path + at, end, sizeof end);
}

/// SIGKILL to every child, the orphans that came back included. None is
/// reaped yet, so no PID can have passed to another process.
void killChildren() {
    char path[64];
    childrenPath(path);
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    char buf[4096];
    long pid = 0;
    bool inNumber = false;
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] >= '0' && buf[i] <= '9' && pid < INT_MAX / 10) {
                pid = pid * 10 + (buf[i] - '0');
                inNumber = true;
            } else if (inNumber) {
                ::kill(static_cast<pid_t>(pid), SIGKILL);
                pid = 0;
                inNumber = false;
            }
        }
        if (n <= 0) {
            break;
        }
    }
    if (inNumber) {
        ::kill(static_cast<pid_t>(pid), SIGKILL);
    }
    ::close(fd);
}

/// Ends as `status` says the command ended.
[[noreturn]] void endAs(int status) {
    if (WIFSIGNALED(status)) {
        const int signal = WTERMSIG(status);
        const rlimit none{0, 0};
        ::setrlimit(RLIMIT_CORE, &none); // a core, if any, was the command's
        struct sigaction standard {};
        standard.sa_handler = SIG_DFL;
        ::sigaction(signal, &standard, nullptr);
        sigset_t only;
        ::sigemptyset(&only);
        ::sigaddset(&only, signal);
        ::sigprocmask(SIG_UNBLOCK, &only, nullptr);
        ::kill(::getpid(), signal);
        ::_exit(128 + signal);
    }
    ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 127);
}

[[noreturn]] void runKeeper(const char *path, char *const *argv, const char *directory,
                            int outputFd, int reportFd) {
    ::setsid();
    // Named apart from Perstando in ps and top, whose program it still runs.
    ::prctl(PR_SET_NAME, "probe keeper", 0UL, 0UL, 0UL);
    // Perstando's handlers have no business here; SIGTERM and SIGCHLD are
    // taken by sigwaitinfo alone, so none is lost between two waits.
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal) {
        ::sigaction(signal, &standard, nullptr);
    }
    sigset_t waited;
    ::sigemptyset(&waited);
    ::sigaddset(&waited, SIGTERM);
    ::sigaddset(&waited, SIGCHLD);
    ::sigprocmask(SIG_SETMASK, &waited, nullptr);
    // Both before the command exists: its orphans come here from their first
    // instant, and Perstando's end is the keeper's SIGTERM.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1UL, 0UL, 0UL, 0UL);
    ::prctl(PR_SET_PDEATHSIG, static_cast<unsigned long>(SIGTERM), 0UL, 0UL, 0UL);
    const pid_t command = ::fork();
    if (command == 0) {
        runCommand(path, argv, directory, outputFd, reportFd);
    }
    if (command < 0) {
        report(reportFd, Stage::Fork, errno);
        ::_exit(127);
    }
    // Nothing held open: the output and the report end with the command's side.
    if (::close_range(0, ~0U, 0) != 0) {
        for (int fd = 0; fd < 1024; ++fd) {
            ::close(fd);
        }
    }
    int status = 0;
    bool commandEnded = false;
    bool ending = false;
    for (;;) {
        int reaped = 0;
        pid_t pid = 0;
        while ((pid = ::waitpid(-1, &reaped, WNOHANG)) > 0) {
            if (pid == command) {
                status = reaped;
                commandEnded = true;
            }
        }
        if (pid < 0 && errno == ECHILD) {
            break;
        }
        if (commandEnded || ending) {
            killChildren();
        }
        if (::sigwaitinfo(&waited, nullptr) == SIGTERM) {
            ending = true;
        }
    }
    endAs(status);
}

std::string describe(const Report &failure) {
    std::string what = std::strerror(failure.error);
    switch (failure.stage) {
    case Stage::Directory:
        return "its working directory cannot be entered: " + what;
    case Stage::Stdio:
        return "its input and output cannot be set up: " + what;
    case Stage::Fork:
        return "no process can be started: " + what;
    case Stage::Exec:
        break;
    }
    return what;
}

} // namespace

namespace launcher {

KeptCommand startKept(const std::string &path, const std::vector<std::string> &arguments,
                      const std::string &directory) {
    KeptCommand made;
    // Built here: the children may not allocate.
    std::vector<char *> argv;
    argv.reserve(arguments.size() + 1);
    for (const std::string &argument : arguments) {
        argv.push_back(const_cast<char *>(argument.c_str()));
    }
    argv.push_back(nullptr);
    int output[2];
    int reports[2];
    if (::pipe2(output, O_CLOEXEC) != 0) {
        made.error = describe({Stage::Fork, errno});
        return made;
    }
    if (::pipe2(reports, O_CLOEXEC) != 0) {
        made.error = describe({Stage::Fork, errno});
        ::close(output[0]);
        ::close(output[1]);
        return made;
    }
    const pid_t keeper = ::fork();
    if (keeper == 0) {
        runKeeper(path.c_str(), argv.data(), directory.empty() ? nullptr : directory.c_str(),
                  output[1], reports[1]);
    }
    const int error = errno;
    ::close(output[1]);
    ::close(reports[1]);
    core::UniqueFd outputRead(output[0]);
    const core::UniqueFd reportRead(reports[0]);
    if (keeper < 0) {
        made.error = describe({Stage::Fork, error});
        return made;
    }
    made.pid = keeper;
    made.ended = reaper::endDescriptor(keeper);
    if (!made.ended) {
        // Its end could not be watched: it goes now, and the command with it.
        ::kill(-keeper, SIGKILL);
        while (::waitpid(keeper, nullptr, 0) < 0 && errno == EINTR) {
        }
        made.pid = 0;
        made.error = "the system gives no process descriptor (Linux 5.3 or later is needed)";
        return made;
    }
    // The end of the pipe, its last writer gone with the exec, or a failure.
    Report failure{};
    if (core::readFully(reportRead.get(), reinterpret_cast<char *>(&failure), sizeof failure) ==
        sizeof failure) {
        made.error = describe(failure);
    }
    ::fcntl(outputRead.get(), F_SETFL, O_NONBLOCK);
    made.output = std::move(outputRead);
    return made;
}

void endKept(const KeptCommand &command) noexcept {
    if (command.ended) {
        ::syscall(SYS_pidfd_send_signal, command.ended.get(), SIGTERM, nullptr, 0);
    }
}

void killKept(const KeptCommand &command) noexcept {
    if (command.ended && command.pid > 0 &&
        ::syscall(SYS_pidfd_send_signal, command.ended.get(), 0, nullptr, 0) == 0) {
        // Not reaped yet, so its group cannot be another's.
        ::kill(-command.pid, SIGKILL);
    }
}

long readOutput(const KeptCommand &command, char *buf, std::size_t size) noexcept {
    ssize_t n = 0;
    do {
        n = ::read(command.output.get(), buf, size);
    } while (n < 0 && errno == EINTR);
    return n;
}

} // namespace launcher
