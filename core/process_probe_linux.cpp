// The process probes over /proc. findByName and isRunning walk the whole list
// on every call and keep nothing between calls; every descriptor they open is
// closed before they return. RememberedProcess asks one process first and
// walks only when that is no longer the answer. The walk runs on every slot
// tick that memory cannot answer, so the loop sticks to fixed buffers and the
// *at() calls relative to the open /proc directory.

#include "core/launcher.h"
#include "core/process_probe.h"
#include "core/read_fully.h"
#include "core/unique_fd.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

namespace {

bool isProcfs(int fd) {
    struct statfs fs {};
    return ::fstatfs(fd, &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC;
}

/// The open /proc listing. Anything but a mounted procfs counts as no list.
class ProcListing {
public:
    ProcListing() : dir_(::opendir("/proc")) {
        if (dir_ && !isProcfs(::dirfd(dir_))) {
            ::closedir(dir_);
            dir_ = nullptr;
        }
    }
    ~ProcListing() {
        if (dir_) {
            ::closedir(dir_);
        }
    }
    ProcListing(const ProcListing &) = delete;
    ProcListing &operator=(const ProcListing &) = delete;

    bool ok() const { return dir_ != nullptr; }
    int fd() const { return ::dirfd(dir_); }

    /// The next process id as its directory name, or nullptr at the end.
    const char *next() {
        while (const dirent *entry = ::readdir(dir_)) {
            if (entry->d_name[0] >= '1' && entry->d_name[0] <= '9') {
                return entry->d_name;
            }
        }
        return nullptr;
    }

private:
    DIR *dir_;
};

/// "PID/leaf", relative to /proc.
class ProcPath {
public:
    ProcPath(const char *pid, const char *leaf) {
        const std::size_t pidLen = ::strnlen(pid, 20);
        const std::size_t leafLen = std::strlen(leaf);
        std::memcpy(text_, pid, pidLen);
        text_[pidLen] = '/';
        std::memcpy(text_ + pidLen + 1, leaf, leafLen + 1);
    }
    const char *c_str() const { return text_; }

private:
    char text_[40];
};

std::string_view readLink(int procFd, const char *pid, const char *leaf, char *buf,
                          std::size_t size) {
    const ssize_t n = ::readlinkat(procFd, ProcPath(pid, leaf).c_str(), buf, size);
    if (n <= 0 || static_cast<std::size_t>(n) >= size) {
        return {};
    }
    return {buf, static_cast<std::size_t>(n)};
}

/// The executable's path; a binary replaced or removed on disk keeps its path.
std::string_view readExe(int procFd, const char *pid, char *buf, std::size_t size) {
    constexpr std::string_view deleted = " (deleted)";
    std::string_view path = readLink(procFd, pid, "exe", buf, size);
    if (path.size() > deleted.size() && path.ends_with(deleted)) {
        path.remove_suffix(deleted.size());
    }
    return path;
}

/// Reads /proc/PID/leaf into buf, at most size bytes; -1 when it cannot be read.
ssize_t readProcFile(int procFd, const char *pid, const char *leaf, char *buf, std::size_t size) {
    const core::UniqueFd fd(::openat(procFd, ProcPath(pid, leaf).c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        return -1;
    }
    return static_cast<ssize_t>(core::readFully(fd.get(), buf, size));
}

struct StatFields {
    char state;
    unsigned long long startTime; ///< clock ticks after boot; 0 when unreadable
    /// Bytes of its address space: 0 once a process on its way out has
    /// dropped its program image (and for kernel threads).
    unsigned long long virtualSize;
};

/// The state letter, start time and virtual size (fields 3, 22 and 23) of a
/// stat line. They follow the name, which sits between the first '(' and the
/// last ')' and may itself hold blanks and parentheses.
std::optional<StatFields> parseStat(const char *buf, ssize_t n) {
    if (n <= 0) {
        return std::nullopt;
    }
    const std::string_view text(buf, static_cast<std::size_t>(n));
    const auto close = text.rfind(')');
    if (close == std::string_view::npos || close + 2 >= text.size()) {
        return std::nullopt;
    }
    StatFields fields{text[close + 2], 0, 0};
    std::size_t at = close + 2;
    for (int field = 3; field < 22 && at != std::string_view::npos; ++field) {
        at = text.find(' ', at);
        at = at == std::string_view::npos ? at : at + 1;
    }
    if (at != std::string_view::npos) {
        const char *end = text.data() + text.size();
        const auto [next, error] = std::from_chars(text.data() + at, end, fields.startTime);
        if (error == std::errc() && next != end && *next == ' ') {
            std::from_chars(next + 1, end, fields.virtualSize);
        }
    }
    return fields;
}

std::optional<StatFields> readStat(int procFd, const char *pid) {
    char buf[1024];
    return parseStat(buf, readProcFile(procFd, pid, "stat", buf, sizeof buf));
}

/// The stat line through a descriptor kept open: the kernel writes it afresh
/// for every read from the start, and fails it once the process is gone.
std::optional<StatFields> rereadStat(int statFd) {
    char buf[1024];
    return parseStat(buf, ::pread(statFd, buf, sizeof buf, 0));
}

bool isLiveState(char state) {
    return state != 'Z' && state != 'X' && state != 'x';
}

/// The kernel's short name of a process (kernel threads and zombies have no
/// other). Cheaper than the stat line, which the kernel fills field by field.
std::string_view readComm(int procFd, const char *pid, char *buf, std::size_t size) {
    const ssize_t n = readProcFile(procFd, pid, "comm", buf, size);
    if (n <= 0) {
        return {};
    }
    std::string_view name(buf, static_cast<std::size_t>(n));
    if (name.back() == '\n') {
        name.remove_suffix(1);
    }
    return name;
}

/// A zombie has ended; a process that vanished meanwhile has too.
bool isLive(int procFd, const char *pid) {
    const auto stat = readStat(procFd, pid);
    return stat && isLiveState(stat->state);
}

/// The first argument of a NUL-separated argument vector.
std::string_view firstArgument(std::string_view cmdline) {
    return cmdline.substr(0, cmdline.find('\0'));
}

std::string_view fileName(std::string_view path) {
    const auto slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

enum class Interpreter { None, Shell, Other };

/// Programs that run scripts through a #! line, by file name without a version
/// suffix (python3.11 is python).
Interpreter interpreterKind(std::string_view name) {
    while (!name.empty() && ((name.back() >= '0' && name.back() <= '9') || name.back() == '.')) {
        name.remove_suffix(1);
    }
    static constexpr std::string_view shells[] = {"sh",  "bash", "dash", "ash",  "ksh",    "mksh",
                                                  "zsh", "fish", "csh",  "tcsh", "busybox"};
    static constexpr std::string_view others[] = {
        "python", "pypy", "perl", "ruby", "node", "nodejs", "php",    "lua",     "luajit",
        "tclsh",  "wish", "gawk", "mawk", "awk",  "nawk",   "expect", "Rscript", "guile"};
    for (const auto shell : shells) {
        if (name == shell) {
            return Interpreter::Shell;
        }
    }
    for (const auto other : others) {
        if (name == other) {
            return Interpreter::Other;
        }
    }
    return Interpreter::None;
}

/// The script an interpreter runs: the first argument after its options. The
/// kernel starts "#!/bin/sh -e" scripts as "/bin/sh -e /path/script". Code given
/// on the command line (sh -c, python -m, perl -e) is no script.
std::string_view scriptArgument(std::string_view cmdline, Interpreter kind) {
    std::size_t pos = cmdline.find('\0');
    bool optionsEnded = false;
    while (pos != std::string_view::npos && pos + 1 < cmdline.size()) {
        const std::size_t start = pos + 1;
        pos = cmdline.find('\0', start);
        if (pos == std::string_view::npos) {
            return {}; // cut off by the read buffer
        }
        const std::string_view arg = cmdline.substr(start, pos - start);
        if (arg.empty() || arg == "-") {
            return {};
        }
        if (optionsEnded || arg.front() != '-') {
            return arg;
        }
        if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "-c" || arg == "-m" ||
                   (kind == Interpreter::Other && (arg == "-e" || arg == "-E"))) {
            return {};
        }
    }
    return {};
}

/// A relative script path made absolute against the process's working directory.
std::string scriptPath(int procFd, const char *pid, std::string_view script) {
    if (script.front() == '/') {
        return std::string(script);
    }
    char cwd[PATH_MAX];
    const std::string_view dir = readLink(procFd, pid, "cwd", cwd, sizeof cwd);
    if (dir.empty()) {
        return std::string(script);
    }
    return (std::filesystem::path(dir) / script).lexically_normal().string();
}

char upperAscii(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

std::string upperAscii(std::string_view text) {
    std::string out(text);
    for (char &c : out) {
        c = upperAscii(c);
    }
    return out;
}

bool equalsIgnoringCase(std::string_view text, std::string_view upper) {
    if (text.size() != upper.size()) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (upperAscii(text[i]) != upper[i]) {
            return false;
        }
    }
    return true;
}

bool containsIgnoringCase(std::string_view text, std::string_view upper) {
    if (upper.empty()) {
        return true;
    }
    if (text.size() < upper.size()) {
        return false;
    }
    const std::size_t last = text.size() - upper.size();
    for (std::size_t start = 0; start <= last; ++start) {
        if (upperAscii(text[start]) != upper[0]) {
            continue;
        }
        std::size_t i = 1;
        while (i < upper.size() && upperAscii(text[start + i]) == upper[i]) {
            ++i;
        }
        if (i == upper.size()) {
            return true;
        }
    }
    return false;
}

/// The configured program as the launcher finds it, in the upper case the
/// match rules compare in, as a full path or as a file name.
class ResolvedProgram {
public:
    ResolvedProgram(std::string_view name, const std::string &workingDirectory, bool byPath) {
        const processes::ProgramPaths paths = processes::resolveProgram(name, workingDirectory);
        for (const std::string_view path :
             {std::string_view(paths.started), std::string_view(paths.real)}) {
            if (!path.empty()) {
                forms_[count_++] = upperAscii(byPath ? path : fileName(path));
            }
        }
    }
    bool matches(std::string_view subject) const {
        for (std::size_t i = 0; i < count_; ++i) {
            if (equalsIgnoringCase(subject, forms_[i])) {
                return true;
            }
        }
        return false;
    }

private:
    std::string forms_[2];
    std::size_t count_ = 0;
};

/// Does a script run by this interpreter match? Reads the argument vector only
/// for interpreters, which keeps the common walk at one readlink per process.
template <typename Match>
bool scriptMatches(int procFd, const char *pid, std::string_view cmdline, Interpreter kind,
                   const Match &matches) {
    const std::string_view script = scriptArgument(cmdline, kind);
    if (script.empty()) {
        return false;
    }
    const std::string path = scriptPath(procFd, pid, script);
    return matches(fileName(path), std::string_view(path));
}

/// Does `matches(fileName, fullPath)` hold for process `pid`, live or not?
/// A process whose exe link cannot be read (another account's, a kernel
/// thread) takes part only when `seeUnreadable`: by argv[0], else by its
/// kernel name, with no full path.
template <typename Match>
bool processMatches(int procFd, const char *pid, bool seeUnreadable, const Match &matches) {
    char exeBuf[PATH_MAX];
    char argBuf[4096];
    const std::string_view exe = readExe(procFd, pid, exeBuf, sizeof exeBuf);
    if (!exe.empty()) {
        if (matches(fileName(exe), exe)) {
            return true;
        }
        // The argument vector only for interpreters, which keeps the common
        // case at one readlink per process.
        const Interpreter kind = interpreterKind(fileName(exe));
        if (kind == Interpreter::None) {
            return false;
        }
        const ssize_t n = readProcFile(procFd, pid, "cmdline", argBuf, sizeof argBuf);
        return n > 0 &&
               scriptMatches(procFd, pid, {argBuf, static_cast<std::size_t>(n)}, kind, matches);
    }
    if (!seeUnreadable) {
        return false;
    }
    const ssize_t n = readProcFile(procFd, pid, "cmdline", argBuf, sizeof argBuf);
    const std::string_view cmdline(argBuf, n > 0 ? static_cast<std::size_t>(n) : 0);
    const std::string_view argv0 = firstArgument(cmdline);
    if (argv0.empty()) {
        char commBuf[64];
        const std::string_view name = readComm(procFd, pid, commBuf, sizeof commBuf);
        return !name.empty() && matches(name, std::string_view());
    }
    if (matches(fileName(argv0), argv0)) {
        return true;
    }
    const Interpreter kind = interpreterKind(fileName(argv0));
    return kind != Interpreter::None && scriptMatches(procFd, pid, cmdline, kind, matches);
}

/// Accepts every process a match rule found.
struct AnyProcess {
    bool operator()(int /*procFd*/, const char * /*pid*/) const { return true; }
};

/// The first live process in the list that `matches` (see processMatches) and
/// `accept` takes: its PID, 0 for none; empty when there is no list at all.
template <typename Match, typename Accept = AnyProcess>
std::optional<int> firstLiveMatch(bool seeUnreadable, const Match &matches,
                                  const Accept &accept = {}) {
    ProcListing list;
    if (!list.ok()) {
        return std::nullopt;
    }
    const int procFd = list.fd();
    while (const char *pid = list.next()) {
        if (processMatches(procFd, pid, seeUnreadable, matches) && isLive(procFd, pid) &&
            accept(procFd, pid)) {
            int id = 0;
            std::from_chars(pid, pid + std::strlen(pid), id);
            return id;
        }
    }
    return 0;
}

/// The two match rules over (file name, full path), ignoring case.
/// ExecutableName: the file name equals the program's, or the full path does
/// when the program holds a '/'; unreadable processes take part.
/// PathContains: the full path contains the program's text.
/// Both also accept the program as the launcher finds it.
class RuleMatcher {
public:
    RuleMatcher(processes::Rule rule, std::string_view name, const std::string &workingDirectory)
        : rule_(rule), name_(name), workingDirectory_(workingDirectory), upper_(upperAscii(name)),
          byPath_(rule == processes::Rule::PathContains ||
                  name.find('/') != std::string_view::npos) {}

    bool seeUnreadable() const { return rule_ == processes::Rule::ExecutableName; }

    bool operator()(std::string_view file, std::string_view fullPath) const {
        if (rule_ == processes::Rule::PathContains) {
            return containsIgnoringCase(fullPath, upper_) || program().matches(fullPath);
        }
        const std::string_view subject = byPath_ ? fullPath : file;
        return equalsIgnoringCase(subject, upper_) || program().matches(subject);
    }

private:
    /// Resolved when first needed: a remembered process usually matches the
    /// text as given, and resolving costs a stat and a readlink per folder.
    const ResolvedProgram &program() const {
        if (!program_) {
            program_.emplace(name_, workingDirectory_, byPath_);
        }
        return *program_;
    }

    processes::Rule rule_;
    std::string_view name_;
    const std::string &workingDirectory_;
    std::string upper_;
    bool byPath_;
    mutable std::optional<ResolvedProgram> program_;
};

/// The real user of a process, from its status; nullopt when unreadable.
std::optional<uid_t> realUser(int procFd, const char *pid) {
    char buf[4096];
    const ssize_t n = readProcFile(procFd, pid, "status", buf, sizeof buf);
    if (n <= 0) {
        return std::nullopt;
    }
    const std::string_view text(buf, static_cast<std::size_t>(n));
    constexpr std::string_view key = "\nUid:\t";
    const auto at = text.find(key);
    if (at == std::string_view::npos) {
        return std::nullopt;
    }
    uid_t uid = 0;
    const char *first = text.data() + at + key.size();
    const auto [end, error] = std::from_chars(first, text.data() + text.size(), uid);
    if (error != std::errc() || end == first) {
        return std::nullopt;
    }
    return uid;
}

/// The words of a NUL-separated argument vector.
std::vector<std::string_view> words(std::string_view cmdline) {
    std::vector<std::string_view> out;
    while (!cmdline.empty()) {
        const auto end = cmdline.find('\0');
        out.push_back(cmdline.substr(0, end));
        cmdline.remove_prefix(end == std::string_view::npos ? cmdline.size() : end + 1);
    }
    return out;
}

bool sameWords(std::span<const std::string_view> found, std::span<const std::string> wanted) {
    return std::equal(found.begin(), found.end(), wanted.begin(), wanted.end());
}

/// What a slot's walk takes beyond the match rule: a process of this account
/// only, so another account's program is never taken for the slot's (nor
/// signalled as it), and with arguments given, one started with exactly those
/// (after the program, or after the script an interpreter runs).
class SlotFilter {
public:
    explicit SlotFilter(std::span<const std::string> arguments)
        : arguments_(arguments), user_(::getuid()) {}

    bool operator()(int procFd, const char *pid) const {
        if (realUser(procFd, pid) != user_) {
            return false;
        }
        if (arguments_.empty()) {
            return true;
        }
        // Bounded like every read of the walk; a longer line is no match.
        char buf[16384];
        const ssize_t n = readProcFile(procFd, pid, "cmdline", buf, sizeof buf);
        if (n <= 0 || static_cast<std::size_t>(n) == sizeof buf) {
            return false;
        }
        const std::string_view cmdline(buf, static_cast<std::size_t>(n));
        const std::vector<std::string_view> argv = words(cmdline);
        if (argv.empty()) {
            return false;
        }
        if (sameWords(std::span(argv).subspan(1), arguments_)) {
            return true;
        }
        const Interpreter kind = interpreterKind(fileName(argv.front()));
        const std::string_view script =
            kind == Interpreter::None ? std::string_view() : scriptArgument(cmdline, kind);
        if (script.empty()) {
            return false;
        }
        // The script is a view into cmdline: its word is found by its address.
        const auto at = std::find_if(argv.begin(), argv.end(),
                                     [&](std::string_view w) { return w.data() == script.data(); });
        return at != argv.end() &&
               sameWords(std::span(argv).subspan(static_cast<std::size_t>(at - argv.begin()) + 1),
                         arguments_);
    }

private:
    std::span<const std::string> arguments_;
    uid_t user_;
};

/// /proc, opened once for the checks that ask one process; -1 when it is no procfs.
int procDirectory() {
    static const int fd = [] {
        const int dir = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0 && !isProcfs(dir)) {
            ::close(dir);
            return -1;
        }
        return dir;
    }();
    return fd;
}

/// A descriptor that turns readable when `pid` ends; empty where the kernel has none.
core::UniqueFd openPidDescriptor(int pid) {
#ifdef SYS_pidfd_open
    return core::UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
#else
    (void)pid;
    return {};
#endif
}

bool hasEnded(int pidFd) {
    pollfd ready{pidFd, POLLIN, 0};
    return ::poll(&ready, 1, 0) != 0; // an error counts too: the walk then decides
}

int signalNumber(processes::Signal signal) {
    switch (signal) {
    case processes::Signal::Terminate:
        return SIGTERM;
    case processes::Signal::Continue:
        return SIGCONT;
    case processes::Signal::Kill:
        break;
    }
    return SIGKILL;
}

} // namespace

namespace processes {

bool findByName(std::string_view name, const std::string &workingDirectory) {
    const RuleMatcher matcher(Rule::ExecutableName, name, workingDirectory);
    const auto found = firstLiveMatch(true, matcher);
    if (!found) {
        throw ListUnavailable("the process list cannot be read from /proc");
    }
    return *found != 0;
}

bool isRunning(std::string_view name, const std::string &workingDirectory) noexcept {
    try {
        const RuleMatcher matcher(Rule::PathContains, name, workingDirectory);
        return firstLiveMatch(false, matcher).value_or(0) != 0;
    } catch (...) {
        return false;
    }
}

RememberedProcess::RememberedProcess(RememberedProcess &&other) noexcept {
    *this = std::move(other);
}

RememberedProcess &RememberedProcess::operator=(RememberedProcess &&other) noexcept {
    if (this != &other) {
        forget();
        std::swap(pid_, other.pid_);
        std::swap(startTime_, other.startTime_);
        std::swap(remembered_, other.remembered_);
        std::swap(dirFd_, other.dirFd_);
        std::swap(statFd_, other.statFd_);
        std::swap(endFd_, other.endFd_);
        fromMemory_ = other.fromMemory_;
        std::swap(owned_, other.owned_);
        std::swap(ownerRule_, other.ownerRule_);
        std::swap(ownerProgram_, other.ownerProgram_);
        std::swap(ownerFolder_, other.ownerFolder_);
        std::swap(ownerArguments_, other.ownerArguments_);
    }
    return *this;
}

void RememberedProcess::forget() {
    dirFd_.reset();
    statFd_.reset();
    endFd_.reset();
    pid_ = 0;
    startTime_ = 0;
    remembered_ = 0;
    owned_ = false;
}

bool RememberedProcess::ownedBy(Rule rule, std::string_view program,
                                const std::string &workingDirectory,
                                std::span<const std::string> arguments) const {
    return owned_ && ownerRule_ == rule && ownerProgram_ == program &&
           ownerFolder_ == workingDirectory &&
           std::equal(arguments.begin(), arguments.end(), ownerArguments_.begin(),
                      ownerArguments_.end());
}

void RememberedProcess::own(Rule rule, std::string_view program,
                            const std::string &workingDirectory,
                            std::span<const std::string> arguments) {
    if (pid_ != 0 && !ownedBy(rule, program, workingDirectory, arguments)) {
        owned_ = true;
        ownerRule_ = rule;
        ownerProgram_ = program;
        ownerFolder_ = workingDirectory;
        ownerArguments_.assign(arguments.begin(), arguments.end());
    }
}

void RememberedProcess::remember(int pid, Rule rule, std::string_view program,
                                 const std::string &workingDirectory,
                                 std::span<const std::string> arguments) {
    remember(pid);
    own(rule, program, workingDirectory, arguments);
}

void RememberedProcess::remember(int pid) {
    forget();
    const int procFd = procDirectory();
    if (pid <= 0 || procFd < 0) {
        return;
    }
    char name[16];
    std::snprintf(name, sizeof name, "%d", pid);
    // Descriptors of /proc/PID stay with that process: once it has gone they
    // fail, even when its PID has passed to another.
    dirFd_.reset(::openat(procFd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dirFd_) {
        statFd_.reset(::openat(dirFd_.get(), "stat", O_RDONLY | O_CLOEXEC));
    }
    const auto stat = statFd_ ? rereadStat(statFd_.get()) : std::nullopt;
    if (!stat || !isLiveState(stat->state)) {
        forget();
        return;
    }
    endFd_ = openPidDescriptor(pid);
    // Still there after the descriptor was opened: it is this process's.
    if (!rereadStat(statFd_.get())) {
        forget();
        return;
    }
    pid_ = pid;
    startTime_ = stat->startTime;
    static std::atomic<unsigned long long> count{0};
    remembered_ = ++count;
}

core::UniqueFd RememberedProcess::duplicateEndDescriptor() const {
    return endFd_.duplicate();
}

RememberedProcess RememberedProcess::duplicate() const {
    RememberedProcess copy;
    if (pid_ == 0) {
        return copy;
    }
    copy.dirFd_ = dirFd_.duplicate();
    copy.statFd_ = statFd_.duplicate();
    copy.endFd_ = endFd_.duplicate();
    // Half a memory could not tell this process from a stranger.
    if (!copy.dirFd_ || !copy.statFd_ || copy.endFd_.valid() != endFd_.valid()) {
        copy.forget();
        return copy;
    }
    copy.pid_ = pid_;
    copy.startTime_ = startTime_;
    copy.remembered_ = remembered_;
    copy.owned_ = owned_;
    copy.ownerRule_ = ownerRule_;
    copy.ownerProgram_ = ownerProgram_;
    copy.ownerFolder_ = ownerFolder_;
    copy.ownerArguments_ = ownerArguments_;
    return copy;
}

bool RememberedProcess::sendSignal(Signal signal) const {
    if (pid_ == 0) {
        return false;
    }
    const int number = signalNumber(signal);
#ifdef SYS_pidfd_send_signal
    if (endFd_) {
        if (::syscall(SYS_pidfd_send_signal, endFd_.get(), number, nullptr, 0) == 0) {
            return true;
        }
        if (errno != ENOSYS) {
            return false;
        }
    }
#endif
    // The stat descriptor fails once the process has been reaped, even when
    // its PID has passed to another: checked right before the kill.
    const auto stat = rereadStat(statFd_.get());
    return stat && stat->startTime == startTime_ && ::kill(pid_, number) == 0;
}

bool RememberedProcess::running(Rule rule, std::string_view program,
                                const std::string &workingDirectory,
                                std::span<const std::string> arguments) {
    fromMemory_ = false;
    std::optional<int> found;
    try {
        const RuleMatcher matcher(rule, program, workingDirectory);
        const SlotFilter filter(arguments);
        if (pid_ != 0) {
            const auto stat = rereadStat(statFd_.get());
            // Ended last: a process that ended while it was read may have
            // left its PID to another.
            // A process on its way out has dropped its program image before
            // the kernel calls it ended, and counts as gone as the walk sees it.
            if (stat && isLiveState(stat->state) && stat->startTime == startTime_ &&
                ((ownedBy(rule, program, workingDirectory, arguments) && stat->virtualSize > 0) ||
                 (processMatches(dirFd_.get(), ".", matcher.seeUnreadable(), matcher) &&
                  filter(dirFd_.get(), "."))) &&
                (!endFd_ || !hasEnded(endFd_.get()))) {
                own(rule, program, workingDirectory, arguments);
                fromMemory_ = true;
                return true;
            }
        }
        found = firstLiveMatch(matcher.seeUnreadable(), matcher, filter);
    } catch (...) {
        if (rule == Rule::ExecutableName) {
            throw;
        }
        found = 0; // isRunning's answer to anything unexpected
    }
    if (!found || *found == 0) {
        forget();
        if (!found && rule == Rule::ExecutableName) {
            throw ListUnavailable("the process list cannot be read from /proc");
        }
        return false;
    }
    remember(*found, rule, program, workingDirectory, arguments);
    return true;
}

ProgramPaths resolveProgram(std::string_view program, const std::string &workingDirectory) {
    if (program.empty()) {
        return {};
    }
    const std::filesystem::path located = launcher::locate(std::string(program), workingDirectory);
    struct stat st {};
    if (::stat(located.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return {};
    }
    std::error_code ec;
    const auto real = std::filesystem::canonical(located, ec);
    if (ec) {
        return {};
    }
    return {located.lexically_normal().string(), real.string()};
}

std::vector<std::string> runningExecutableNames() {
    std::vector<std::string> names;
    ProcListing list;
    if (!list.ok()) {
        return names;
    }
    const int procFd = list.fd();
    char buf[PATH_MAX];
    while (const char *pid = list.next()) {
        if (const auto exe = readExe(procFd, pid, buf, sizeof buf); !exe.empty()) {
            names.emplace_back(fileName(exe));
            continue;
        }
        const ssize_t n = readProcFile(procFd, pid, "cmdline", buf, sizeof buf);
        const auto argv0 = firstArgument({buf, n > 0 ? static_cast<std::size_t>(n) : 0});
        if (!argv0.empty()) {
            names.emplace_back(fileName(argv0));
        } else if (const auto name = readComm(procFd, pid, buf, sizeof buf); !name.empty()) {
            names.emplace_back(name); // kernel threads and zombies
        }
    }
    return names;
}

} // namespace processes
