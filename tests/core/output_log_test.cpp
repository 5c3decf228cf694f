#include "core/output_log.h"
#include "core/unique_fd.h"
#include "tests/support/network_namespace.h"
#include "tests/support/scoped_env.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

extern char **environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing_support::TempDir;

constexpr std::size_t StampLength = 29;

std::int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

/// The real logger, reading two pipes the test writes into.
class Logger {
public:
    /// `prefix` runs the logger through another program (unshare); with
    /// `ownFile` false that program opens descriptor 5 itself.
    Logger(const std::string &path, std::uint64_t maxBytes, int files,
           const std::vector<std::string> &prefix = {}, bool ownFile = true) {
        // A logger that died must fail the test, not end it by SIGPIPE.
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        ::sigaction(SIGPIPE, &ignore, &oldPipeAction_);
        int out[2];
        int err[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
            return;
        }
        // Above 5, so no dup2 below overwrites a source it still needs.
        const int outRead = ::fcntl(out[0], F_DUPFD_CLOEXEC, 10);
        const int errRead = ::fcntl(err[0], F_DUPFD_CLOEXEC, 10);
        ::close(out[0]);
        ::close(err[0]);
        writers_[0] = out[1];
        writers_[1] = err[1];
        for (const int fd : writers_) {
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        }
        int file = -1;
        if (ownFile) {
            std::string problem;
            const int opened = outputlog::openOutputFile(path, problem);
            file = ::fcntl(opened, F_DUPFD_CLOEXEC, 10);
            ::close(opened);
        }
        std::vector<std::string> words = prefix;
        words.insert(words.end(),
                     {OUTPUTLOG_BINARY, path, std::to_string(maxBytes), std::to_string(files)});
        std::vector<char *> argv;
        for (auto &word : words) {
            argv.push_back(word.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, outRead, outputlog::OutFd);
        posix_spawn_file_actions_adddup2(&actions, errRead, outputlog::ErrFd);
        if (file >= 0) {
            posix_spawn_file_actions_adddup2(&actions, file, outputlog::FileFd);
        }
        if (::posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(outRead);
        ::close(errRead);
        if (file >= 0) {
            ::close(file);
        }
    }
    ~Logger() {
        closeAll();
        if (pid_ > 0 && status_ < 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::sigaction(SIGPIPE, &oldPipeAction_, nullptr);
    }
    Logger(const Logger &) = delete;
    Logger &operator=(const Logger &) = delete;

    pid_t pid() const { return pid_; }

    /// Writes all of `data` to stdout (0) or stderr (1); false when the pipe
    /// still had no room at `deadline`: the logger held the writer.
    bool write(int stream, std::string_view data, std::chrono::steady_clock::time_point deadline) {
        while (!data.empty()) {
            const ssize_t n = ::write(writers_[stream], data.data(), data.size());
            if (n > 0) {
                data.remove_prefix(static_cast<std::size_t>(n));
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) {
                return false;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left <= 0ms) {
                return false;
            }
            pollfd fd{writers_[stream], POLLOUT, 0};
            ::poll(&fd, 1, static_cast<int>(left.count()));
        }
        return true;
    }
    bool write(int stream, std::string_view data) {
        return write(stream, data, std::chrono::steady_clock::now() + 10s);
    }

    /// True once the logger has read everything written so far.
    bool drained() const {
        for (const int fd : writers_) {
            int queued = 0;
            if (fd >= 0 && (::ioctl(fd, FIONREAD, &queued) != 0 || queued > 0)) {
                return false;
            }
        }
        return true;
    }

    void closeAll() {
        for (int &fd : writers_) {
            if (fd >= 0) {
                ::close(fd);
                fd = -1;
            }
        }
    }

    bool running() { return status_ < 0 && pid_ > 0 && ::waitpid(pid_, &status_, WNOHANG) == 0; }

    /// The wait status once the logger ended within `timeout`, else -1.
    int wait(std::chrono::milliseconds timeout = 10s) {
        testing_support::waitUntil([this] { return !running(); }, timeout);
        return status_;
    }

private:
    pid_t pid_ = -1;
    int status_ = -1;
    int writers_[2] = {-1, -1};
    struct sigaction oldPipeAction_ {};
};

std::vector<std::string> splitLines(const std::string &text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const auto end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

/// The line without its time stamp, which must lie in [fromMs, toMs].
std::string untimed(const std::string &line, std::int64_t fromMs, std::int64_t toMs) {
    const auto at = outputlog::lineTime(line);
    EXPECT_GE(at, fromMs) << line;
    EXPECT_LE(at, toMs) << line;
    return line.size() > StampLength ? line.substr(StampLength + 1) : std::string();
}

TEST(OutputLog, LinesOfBothStreamsAreTimedAndTagged) {
    const std::string longLine(40000, 'x');
    const std::string longPartial(20000, 'y');
    struct Case {
        const char *name;
        std::string out;
        std::string err;
        bool idle; ///< the pipes stay open until the partial line is written
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"lines", "one\ntwo\n", "oops\n", false, {"out one", "out two", "err oops"}},
        {"partial at the end", "a\ntail", "b", false, {"out a", "out tail", "err b"}},
        {"partial when idle", "waiting", "", true, {"out waiting", "out rest"}},
        {"carriage returns", "dos\r\nmid\rdle\n\n", "", false, {"out dos", "out mid\rdle", "out "}},
        {"long line",
         longLine + "\n",
         longPartial,
         false,
         {"out " + longLine.substr(0, 16384), "out " + longLine.substr(0, 16384),
          "out " + longLine.substr(0, 40000 - 2 * 16384), "err " + longPartial.substr(0, 16384),
          "err " + longPartial.substr(0, 20000 - 16384)}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const auto path = (dir / "out.log").string();
        const auto before = nowMs();
        Logger logger(path, 1 << 20, 3);
        ASSERT_GT(logger.pid(), 0);
        ASSERT_TRUE(logger.write(0, c.out));
        ASSERT_TRUE(logger.write(1, c.err));
        if (c.idle) {
            EXPECT_TRUE(testing_support::waitUntil([&] {
                return testing_support::readFile(path).find(" out waiting\n") != std::string::npos;
            })) << "an idle partial line was not written";
            ASSERT_TRUE(logger.write(0, "rest\n"));
        }
        logger.closeAll();
        const int status = logger.wait();
        const auto after = nowMs();
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

        const auto text = testing_support::readFile(path);
        ASSERT_FALSE(text.empty());
        EXPECT_EQ(text.back(), '\n');
        std::vector<std::string> got[2];
        std::vector<std::string> want[2];
        for (const auto &line : splitLines(text)) {
            const auto rest = untimed(line, before, after);
            got[rest.rfind("err ", 0) == 0].push_back(rest);
        }
        for (const auto &line : c.expected) {
            want[line.rfind("err ", 0) == 0].push_back(line);
        }
        EXPECT_EQ(got[0], want[0]);
        EXPECT_EQ(got[1], want[1]);
    }
}

/// Every file of `path` that exists, oldest first, with the check that none
/// passed `cap`.
std::vector<fs::path> keptFiles(const std::string &path, std::uint64_t cap) {
    std::vector<fs::path> files;
    for (int i = 99; i >= 0; --i) {
        const fs::path file = i == 0 ? path : path + "." + std::to_string(i);
        std::error_code error;
        const auto size = fs::file_size(file, error);
        if (!error) {
            EXPECT_LE(size, cap) << file;
            files.push_back(file);
        }
    }
    return files;
}

std::string numbered(int i) {
    return "n=" + std::to_string(100000 + i) + " " +
           std::string(static_cast<std::size_t>(i * 37 % 120), 'p');
}

TEST(OutputLog, RotationKeepsEveryFileWithinItsCap) {
    struct Case {
        const char *name;
        std::uint64_t cap;
        int files;
        bool cutLines; ///< lines longer than the cap: pieces may span files
    };
    const Case cases[] = {
        {"three files", 4096, 3, false},
        {"one file", 4096, 1, false},
        {"lines longer than the cap", 100, 2, true},
    };
    constexpr int lines = 600;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const auto path = (dir / "out.log").string();
        Logger logger(path, c.cap, c.files);
        ASSERT_GT(logger.pid(), 0);
        for (int batch = 0; batch < lines; batch += 50) {
            std::string data;
            for (int i = batch; i < batch + 50; ++i) {
                data += numbered(i) + "\n";
            }
            ASSERT_TRUE(logger.write(0, data));
            ASSERT_TRUE(testing_support::waitUntil([&] { return logger.drained(); }));
            keptFiles(path, c.cap);
        }
        logger.closeAll();
        const int status = logger.wait();
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

        const auto files = keptFiles(path, c.cap);
        ASSERT_EQ(files.size(), static_cast<std::size_t>(c.files));
        for (std::size_t i = 0; i < files.size(); ++i) {
            const std::string expectedName =
                i + 1 == files.size() ? path : path + "." + std::to_string(files.size() - 1 - i);
            EXPECT_EQ(files[i].string(), expectedName);
        }
        std::string all;
        for (const auto &file : files) {
            const auto text = testing_support::readFile(file);
            if (!c.cutLines) {
                EXPECT_EQ(text.back(), '\n') << file << " ends inside a line";
            }
            all += text;
        }
        const std::string last = numbered(lines - 1) + "\n";
        ASSERT_GE(all.size(), last.size());
        EXPECT_EQ(all.substr(all.size() - last.size()), last);
        if (c.cutLines) {
            continue;
        }
        // Whole lines, none missing between the oldest kept and the last.
        const auto kept = splitLines(all);
        ASSERT_FALSE(kept.empty());
        const int first = lines - static_cast<int>(kept.size());
        for (std::size_t i = 0; i < kept.size(); ++i) {
            EXPECT_NE(outputlog::lineTime(kept[i]), -1) << kept[i];
            EXPECT_EQ(kept[i].substr(StampLength + 1),
                      "out " + numbered(first + static_cast<int>(i)));
        }
    }
}

TEST(OutputLog, AHundredMegabytesPassWithoutHoldingTheWriter) {
    TempDir dir;
    const auto path = (dir / "out.log").string();
    constexpr std::uint64_t cap = 1 << 20;
    Logger logger(path, cap, 3);
    ASSERT_GT(logger.pid(), 0);
    std::string block;
    for (int i = 0; block.size() + 100 <= 64 * 1024; ++i) {
        std::string line = std::to_string(10000000 + i);
        line.resize(99, '.');
        block += line + "\n";
    }
    const auto deadline = std::chrono::steady_clock::now() + 120s;
    std::size_t written = 0;
    while (written < 100 * 1000 * 1000) {
        ASSERT_TRUE(logger.write(0, block, deadline)) << "held after " << written << " bytes";
        written += block.size();
    }
    logger.closeAll();
    const int status = logger.wait(60s);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    const auto files = keptFiles(path, cap);
    ASSERT_EQ(files.size(), 3u);
    for (const auto &file : files) {
        for (const auto &line : splitLines(testing_support::readFile(file))) {
            ASSERT_EQ(line.size(), StampLength + 1 + 4 + 99) << file << ": " << line;
        }
    }
    const auto text = testing_support::readFile(path);
    const auto lastLine = block.substr(block.size() - 100);
    EXPECT_EQ(text.substr(text.size() - 100), lastLine);
}

/// The count of a "--- N lines dropped: <reason>" line, -1 when there is none.
long droppedCount(const std::string &text, const std::string &reason) {
    const auto at = text.find(" --- ");
    if (at == std::string::npos) {
        return -1;
    }
    const auto end = text.find('\n', at);
    const auto line = text.substr(at + 5, end - at - 5);
    char *rest = nullptr;
    const long count = std::strtol(line.c_str(), &rest, 10);
    const std::string tail = rest;
    EXPECT_TRUE(tail == " lines dropped: " + reason || tail == " line dropped: " + reason) << line;
    return count;
}

std::string lostLine(int i) {
    return "lost " + std::to_string(100000 + i) + std::string(90, '-');
}

/// Lines kept whole plus the count told must be every line written.
void expectAllAccountedFor(const std::string &text, int total, const std::string &reason) {
    const long dropped = droppedCount(text, reason);
    EXPECT_GT(dropped, 0) << text.substr(0, 2000);
    int kept = 0;
    for (const auto &line : splitLines(text)) {
        const auto rest = line.size() > StampLength ? line.substr(StampLength + 1) : "";
        if (rest.rfind("out lost ", 0) == 0) {
            const int i = std::atoi(rest.substr(9, 6).c_str()) - 100000;
            kept += rest == "out " + lostLine(i);
        }
    }
    EXPECT_EQ(kept + dropped, total) << "kept " << kept << ", told " << dropped;
}

TEST(OutputLog, AFullDiskDropsLinesAndTellsHowManyOnceThereIsRoom) {
    TempDir dir;
    const std::string unshare = ::geteuid() == 0 ? "-m" : "-rm";
    const auto probe = testing_support::runCaptured(
        {"unshare", unshare, "sh", "-c", "mount -t tmpfs -o size=64k probe \"$1\" && echo mounted",
         "sh", dir.path().string()});
    if (probe.output != "mounted\n") {
        GTEST_SKIP() << "no mount namespace with a tmpfs of its own here";
    }
    // A 64 KiB tmpfs over the folder, filled up before the logger starts.
    const std::string script = "mount -t tmpfs -o size=64k full \"$1\" || exit 3\n"
                               "head -c 65536 /dev/zero > \"$1/filler\" 2>/dev/null\n"
                               "exec 5>>\"$1/out.log\"\n"
                               "shift\n"
                               "exec \"$@\"\n";
    Logger logger((dir / "out.log").string(), 1 << 20, 3,
                  {"unshare", unshare, "sh", "-c", script, "sh", dir.path().string()}, false);
    ASSERT_GT(logger.pid(), 0);
    // Its view of the folder: the tmpfs.
    const fs::path inside = "/proc/" + std::to_string(logger.pid()) + "/root" + dir.path().string();
    ASSERT_TRUE(testing_support::waitUntil([&] { return fs::exists(inside / "out.log"); }))
        << "the logger did not start";

    constexpr int total = 10000; // a megabyte: many times what the pipe holds
    std::string data;
    for (int i = 0; i < total; ++i) {
        data += lostLine(i) + "\n";
    }
    EXPECT_TRUE(logger.write(0, data, std::chrono::steady_clock::now() + 60s))
        << "the writer was held by the full disk";
    ASSERT_TRUE(testing_support::waitUntil([&] { return logger.drained(); }));
    EXPECT_LT(fs::file_size(inside / "out.log"), data.size());

    fs::remove(inside / "filler");
    ASSERT_TRUE(logger.write(0, "after\n"));
    std::string text;
    EXPECT_TRUE(testing_support::waitUntil([&] {
        text = testing_support::readFile(inside / "out.log");
        return text.find(" out after\n") != std::string::npos;
    })) << text.substr(0, 2000);
    expectAllAccountedFor(text, total, std::strerror(ENOSPC));
    EXPECT_LT(text.find(" --- "), text.find(" out after\n")) << "the count came after new lines";

    logger.closeAll();
    const int status = logger.wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(OutputLog, AFileSizeLimitDropsLinesInsteadOfEndingTheLogger) {
    TempDir dir;
    const auto path = (dir / "out.log").string();
    Logger logger(path, 1 << 20, 3);
    ASSERT_GT(logger.pid(), 0);
    // Only the soft limit: raising it again needs no privilege.
    rlimit original{};
    ASSERT_EQ(::prlimit(logger.pid(), RLIMIT_FSIZE, nullptr, &original), 0);
    const rlimit small{8192, original.rlim_max};
    ASSERT_EQ(::prlimit(logger.pid(), RLIMIT_FSIZE, &small, nullptr), 0);

    constexpr int total = 2000;
    std::string data;
    for (int i = 0; i < total; ++i) {
        data += lostLine(i) + "\n";
    }
    ASSERT_TRUE(logger.write(0, data, std::chrono::steady_clock::now() + 60s));
    ASSERT_TRUE(testing_support::waitUntil([&] { return logger.drained(); }));
    EXPECT_TRUE(logger.running()) << "SIGXFSZ ended the logger";
    EXPECT_LE(fs::file_size(path), 8192u);

    ASSERT_EQ(::prlimit(logger.pid(), RLIMIT_FSIZE, &original, nullptr), 0);
    ASSERT_TRUE(logger.write(0, "after\n"));
    logger.closeAll();
    const int status = logger.wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const auto text = testing_support::readFile(path);
    ASSERT_NE(text.find(" out after\n"), std::string::npos);
    expectAllAccountedFor(text, total, std::strerror(EFBIG));
    // The line cut by the limit is ended before the count is told.
    EXPECT_EQ(text[text.find(" --- ") - StampLength - 1], '\n');
}

TEST(OutputLog, OnlyARegularFileIsOpenedForOutput) {
    TempDir dir;
    testing_support::writeFile(dir / "target", "");
    fs::create_symlink(dir / "target", dir / "link");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    fs::create_directory(dir / "folder");
    struct Case {
        fs::path path;
        std::string problem;
    };
    const Case cases[] = {
        {dir / "link", "is a symbolic link"},
        {dir / "dangling", "is a symbolic link"},
        {dir / "fifo", "is not a regular file"},
        {"/dev/null", "is not a regular file"},
        {dir / "folder", std::strerror(EISDIR)},
        {dir / "missing" / "out.log", std::strerror(ENOENT)},
    };
    fs::create_symlink(dir / "nowhere", dir / "dangling");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        std::string problem;
        EXPECT_EQ(outputlog::openOutputFile(c.path, problem), -1);
        EXPECT_EQ(problem, c.problem);
    }
    EXPECT_FALSE(fs::exists(dir / "nowhere")) << "a dangling link was followed";
    std::string problem;
    const int fd = outputlog::openOutputFile(dir / "new.log", problem);
    ASSERT_GE(fd, 0) << problem;
    struct stat info {};
    ASSERT_EQ(::fstat(fd, &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_TRUE(::fcntl(fd, F_GETFL) & O_APPEND);
    ::close(fd);
}

// Another account's (nobody's) file or a dangling link at the path, the folder swapped or given
// away: the logger writes its own files only, past the cap by at most the line saying why.
TEST(OutputLog, AttacksOnTheOutputPathReachNoOtherFileAndKeepTheCap) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "giving a file to another account needs root";
    }
    TempDir dir;
    const fs::path folder = dir / "logs", path = folder / "app.log", elsewhere = dir / "root-only";
    fs::create_directory(elsewhere, dir.path());
    const std::pair<std::string, const char *> attacks[] = {
        {"file of another account", "the file belongs to another user (uid 65534)"},
        {"dangling link", "is a symbolic link"},
        {"folder swapped for a link", nullptr},
        {"folder given away", "belongs to another user (uid 65534)"},
    };
    const std::string secret = "api_key=SECRET-" + std::string(3000, 'x') + "\n";
    for (const auto &[attack, told] : attacks) {
        SCOPED_TRACE(attack);
        fs::remove_all(folder);
        fs::create_directory(folder);
        core::UniqueFd planted; // held open: rotations may rename it out of sight
        Logger logger(path.string(), 4096, 3);
        ASSERT_TRUE(logger.write(0, "first\n") &&
                    testing_support::waitUntil([&] { return fs::file_size(path) > 0; }));
        if (!told) {
            fs::rename(folder, dir / "logs.old");
            fs::create_directory_symlink(elsewhere, folder);
        } else if (fs::rename(path, folder / "moved.log"); attack == "dangling link") {
            fs::create_symlink(dir / "target", path);
        } else {
            testing_support::writeFile(path, "");
            ASSERT_EQ(::chown(path.c_str(), 65534, 65534) | ::chmod(path.c_str(), 0666), 0);
            planted.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
            ASSERT_EQ(attack == "folder given away" ? ::chown(folder.c_str(), 65534, 0) : 0, 0);
        }
        // Many rotations' worth, over more than the second between two tries.
        for (const auto until = std::chrono::steady_clock::now() + 1500ms;
             std::chrono::steady_clock::now() < until;) {
            ASSERT_TRUE(logger.write(0, secret) &&
                        testing_support::waitUntil([&] { return logger.drained(); }));
        }
        EXPECT_EQ(planted ? ::lseek(planted.get(), 0, SEEK_END) : 0, 0) << "written to another's";
        EXPECT_TRUE(fs::is_empty(elsewhere)) << "files made where a link led";
        std::string ours;
        for (const auto &entry : fs::recursive_directory_iterator(dir.path())) {
            if (entry.is_regular_file()) {
                EXPECT_LE(fs::file_size(entry.path()), 4096u + 200) << entry.path();
                ours += testing_support::readFile(entry.path());
            }
        }
        const std::string note = "not rotated: " + path.string() + ": ";
        EXPECT_EQ(testing_support::occurrences(ours, " --- " + note), told ? 1 : 0);
        if (fs::is_symlink(path)) {
            fs::remove(path); // writing resumes, first telling what was dropped
            EXPECT_TRUE(testing_support::waitUntil([&] {
                logger.write(0, "after\n");
                return testing_support::readFile(path).find(" out after\n") != std::string::npos;
            }));
            EXPECT_GT(droppedCount(testing_support::readFile(path), note + told), 0);
        }
    }
    std::string problem;
    EXPECT_EQ(outputlog::openOutputFile(path.string() + ".new", problem), -1) << "at the start";
    EXPECT_EQ(problem, "its folder " + folder.string() + " belongs to another user (uid 65534)");
}

TEST(OutputLog, LastLinesAreTheNewestOfTheWindowShownSafely) {
    TempDir dir;
    const auto path = (dir / "out.log").string();
    constexpr std::int64_t t0 = 1796850184123;
    const auto stampAt = [](std::int64_t ms) {
        return outputlog::timeStamp(std::chrono::system_clock::time_point(
            std::chrono::duration_cast<std::chrono::system_clock::duration>(
                std::chrono::milliseconds(ms))));
    };
    const auto line = [&](int i) {
        return stampAt(t0 + i * 1000) + " out line " + std::to_string(i);
    };
    std::string older;
    std::string newer = "no time stamp\n";
    for (int i = 0; i < 10; ++i) {
        older += line(i) + "\n";
    }
    for (int i = 10; i < 15; ++i) {
        newer += line(i) + "\n";
    }
    testing_support::writeFile(path + ".1", older);
    testing_support::writeFile(path, newer);

    struct Case {
        std::size_t count;
        int from;
        int to;
        int first; ///< the lines expected: first .. first + expected - 1
        int expected;
    };
    const Case cases[] = {
        {3, 0, 100, 12, 3}, {8, 0, 100, 7, 8}, {20, 3, 12, 3, 9},
        {5, 20, 30, 0, 0},  {0, 0, 100, 0, 0}, {2, 0, 11, 9, 2},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.count << " in [" << c.from << ", " << c.to << ")");
        std::vector<std::string> want;
        for (int i = c.first; i < c.first + c.expected; ++i) {
            want.push_back(line(i));
        }
        EXPECT_EQ(outputlog::lastLines(path, c.count, t0 + c.from * 1000, t0 + c.to * 1000), want);
    }

    // Control characters spelled out; a long line cut, not inside a character.
    const std::string stamp = stampAt(t0);
    std::string eAcutes;
    for (int i = 0; i < 200; ++i) {
        eAcutes += "\xC3\xA9";
    }
    testing_support::writeFile(path, stamp + " err \x1B[31mred\x7F\ttab\r\n" + stamp + " out x" +
                                         eAcutes + "\n");
    const auto shown = outputlog::lastLines(path, 2, t0, t0 + 1);
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0], stamp + " err \\x1B[31mred\\x7F\ttab\\x0D");
    EXPECT_EQ(shown[1], stamp + " out x" + eAcutes.substr(0, 264));

    // Nothing read through a link or from a FIFO, and nothing waited for.
    fs::remove(path);
    fs::remove(path + ".1");
    EXPECT_TRUE(outputlog::lastLines(path, 5, 0, t0 * 2).empty());
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    EXPECT_TRUE(outputlog::lastLines(path, 5, 0, t0 * 2).empty());
    fs::remove(path);
    testing_support::writeFile(dir / "real", line(1) + "\n");
    fs::create_symlink(dir / "real", path);
    EXPECT_TRUE(outputlog::lastLines(path, 5, 0, t0 * 2).empty());
}

TEST(OutputLog, TimeStampsReadBackInEveryZone) {
    constexpr std::int64_t at = 1796850184123; // 2026-12-09T21:03:04.123Z
    struct Zone {
        const char *tz;
        std::string stamp;
    };
    const Zone zones[] = {
        {"UTC0", "2026-12-09T21:03:04.123+00:00"},
        {"NST3:30NDT,M3.2.0,M11.1.0", "2026-12-09T17:33:04.123-03:30"},
    };
    for (const auto &zone : zones) {
        SCOPED_TRACE(zone.tz);
        testing_support::ScopedEnv tz("TZ", zone.tz);
        ::tzset();
        for (const std::int64_t ms : {at, std::int64_t{-1500}, std::int64_t{0}}) {
            const auto stamp = outputlog::timeStamp(std::chrono::system_clock::time_point(
                std::chrono::duration_cast<std::chrono::system_clock::duration>(
                    std::chrono::milliseconds(ms))));
            if (ms == at) {
                EXPECT_EQ(stamp, zone.stamp);
            }
            EXPECT_EQ(outputlog::lineTime(stamp), ms) << stamp;
            EXPECT_EQ(outputlog::lineTime(stamp + " out text"), ms) << stamp;
        }
    }
    ::tzset();

    for (const char *notAStamp : {
             "",
             "2026-12-09T21:03:04.123",
             "2026-02-29T21:03:04.123+01:00",
             "2026-12-09T21:03:04.123+01:00x",
             "2026-12-09T21:03:04.123*01:00",
         }) {
        EXPECT_EQ(outputlog::lineTime(notAStamp), -1) << notAStamp;
    }
}

TEST(OutputLog, LimitsComeFromTheSettings) {
    struct Limit {
        int kib;
        int files;
        std::uint64_t maxBytes;
        int keptFiles;
    };
    for (const auto &l : {Limit{0, 3, 1 << 20, 3}, Limit{4, 0, 4096, 1},
                          Limit{-1, 200, 1 << 20, 99}, Limit{2048, 5, 2 << 20, 5}}) {
        const auto limits = outputlog::limitsFrom(l.kib, l.files);
        EXPECT_EQ(limits.maxBytes, l.maxBytes) << l.kib;
        EXPECT_EQ(limits.files, l.keptFiles) << l.files;
    }
}

} // namespace
