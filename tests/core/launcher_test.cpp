#include "core/child_reaper.h"
#include "core/launcher.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using launcher::Failure;
using testing_support::copyExecutable;
using testing_support::pidsOf;
using testing_support::readFile;
using testing_support::TempDir;
using testing_support::uniqueName;
using testing_support::waitUntil;
using testing_support::writeFile;

/// Why start() failed; Failure::None when it started.
Failure startIn(const std::string &program, const std::string &arguments,
                const std::string &folder) {
    return launcher::start(program, arguments, folder).failure;
}

/// PATH for the length of a test.
class ScopedPath {
public:
    explicit ScopedPath(const std::string &value) {
        if (const char *old = std::getenv("PATH")) {
            old_ = old;
        }
        ::setenv("PATH", value.c_str(), 1);
    }
    ~ScopedPath() { ::setenv("PATH", old_.c_str(), 1); }

private:
    std::string old_;
};

/// What the launcher starts is no child of ours: it is killed by path at the end.
class KillAtEnd {
public:
    explicit KillAtEnd(fs::path exe) : exe_(std::move(exe)) {}
    ~KillAtEnd() { testing_support::killAll(exe_); }

private:
    fs::path exe_;
};

std::string statField(pid_t pid, int field) {
    const auto stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    if (close == std::string::npos) {
        return {}; // gone meanwhile
    }
    std::istringstream rest(stat.substr(close + 1));
    std::string value;
    for (int i = 3; i <= field; ++i) {
        rest >> value;
    }
    return value;
}

/// True while any child of this process exists, zombies included.
bool haveChildren() {
    if (::waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD) {
        return false;
    }
    const std::string self = std::to_string(::getpid());
    for (const auto &entry : fs::directory_iterator("/proc")) {
        const auto pid = entry.path().filename().string();
        if (std::isdigit(static_cast<unsigned char>(pid[0])) &&
            statField(std::stoi(pid), 4) == self) {
            return true;
        }
    }
    return false;
}

pid_t onlyProcessOf(const fs::path &exe) {
    pid_t pid = -1;
    EXPECT_TRUE(waitUntil([&] {
        const auto pids = pidsOf(exe);
        pid = pids.size() == 1 ? pids.front() : -1;
        return pid > 0;
    }));
    return pid;
}

/// A script that writes its working directory and then its arguments, one a
/// line, to "<script>.out", which appears complete.
fs::path recorder(const fs::path &folder) {
    fs::create_directories(folder);
    const auto script = folder / "record.sh";
    writeFile(script, "#!/bin/sh\n"
                      "{ pwd -P; for a in \"$@\"; do printf '%s\\n' \"$a\"; done; } "
                      "> \"$0.tmp\" && mv \"$0.tmp\" \"$0.out\"\n");
    fs::permissions(script, fs::perms::owner_all);
    return script;
}

std::vector<std::string> recorded(const fs::path &file) {
    EXPECT_TRUE(waitUntil([&] { return fs::exists(file); })) << file;
    std::vector<std::string> lines;
    std::istringstream in(readFile(file));
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    fs::remove(file);
    return lines;
}

std::vector<std::string> recordedRun(const fs::path &script) {
    return recorded(script.string() + ".out");
}

TEST(Launcher, StartsDetachedInTheGivenDirectoryWithNothingInherited) {
    TempDir dir;
    const auto work = dir / "Wörk Dir ü";
    fs::create_directories(work);
    fs::create_directories(dir / "Prög Földer");
    const auto exe = copyExecutable("/bin/sleep", dir / "Prög Földer", uniqueName("my prog ü"));
    KillAtEnd cleanup(exe);

    const int inheritable = ::open("/dev/null", O_RDONLY); // deliberately without O_CLOEXEC
    ASSERT_GE(inheritable, 3);
    EXPECT_EQ(startIn(exe.string(), "1000", work.string()), Failure::None);
    ::close(inheritable);
    EXPECT_FALSE(haveChildren());

    const pid_t pid = onlyProcessOf(exe);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(testing_support::cwdOf(pid), work);
    EXPECT_EQ(::getsid(pid), pid);
    EXPECT_EQ(readFile("/proc/" + std::to_string(pid) + "/cmdline"),
              exe.string() + '\0' + "1000" + '\0');
    // The program opens and closes files of its own while it starts (its
    // libraries, its locale): what it inherited is what stays once it sleeps.
    const auto sleeping = [pid] {
        const std::string call = readFile("/proc/" + std::to_string(pid) + "/syscall");
        return call.starts_with(std::to_string(SYS_clock_nanosleep) + " ") ||
               call.starts_with(std::to_string(SYS_nanosleep) + " ");
    };
    ASSERT_TRUE(waitUntil(sleeping));
    const auto descriptors = [pid] {
        std::map<std::string, std::string> found;
        std::error_code ec;
        for (const auto &fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
            found[fd.path().filename().string()] = fs::read_symlink(fd.path(), ec).string();
        }
        return found;
    };
    const std::map<std::string, std::string> expected{
        {"0", "/dev/null"}, {"1", "/dev/null"}, {"2", "/dev/null"}};
    EXPECT_EQ(descriptors(), expected);
}

TEST(Launcher, SplitsParametersWithoutAShellAndLeavesNoZombie) {
    TempDir dir;
    const auto script = recorder(dir / "Scripts ü");
    fs::create_directories(dir / "work");
    const auto pwned = dir / "pwned";
    EXPECT_EQ(startIn(script.string(),
                      "one \"two words\" \"\" $HOME ; touch " + pwned.string() + " `id`",
                      (dir / "work").string()),
              Failure::None);
    EXPECT_EQ(recordedRun(script),
              (std::vector<std::string>{(dir / "work").string(), "one", "two words", "", "$HOME",
                                        ";", "touch", pwned.string(), "`id`"}));
    EXPECT_FALSE(fs::exists(pwned));
    // The script has ended; neither it nor the intermediate is left as our zombie.
    EXPECT_FALSE(haveChildren());
}

TEST(Launcher, ProgramOutlivesTheProcessThatStartedIt) {
    TempDir dir;
    const auto exe = copyExecutable("/bin/sleep", dir.path(), uniqueName("survivor"));
    KillAtEnd cleanup(exe);
    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    const pid_t starter = ::fork();
    if (starter == 0) {
        ::setsid(); // as a terminal session would be
        // As Perstando is: the program stays the starter's child until it ends.
        (void)reaper::setChildSubreaper();
        const Failure result = startIn(exe.string(), "1000", dir.path().string());
        [[maybe_unused]] const auto n = ::write(report[1], &result, sizeof result);
        ::pause();
        ::_exit(0);
    }
    ::close(report[1]);
    auto result = Failure::NoAssociation;
    ASSERT_EQ(::read(report[0], &result, sizeof result), static_cast<ssize_t>(sizeof result));
    ::close(report[0]);
    EXPECT_EQ(result, Failure::None);

    const pid_t pid = onlyProcessOf(exe);
    ASSERT_GT(pid, 0);
    EXPECT_NE(::getpgid(pid), starter);
    EXPECT_EQ(statField(pid, 4), std::to_string(starter)) << "not the subreaper's child";
    ::kill(-starter, SIGHUP); // the hangup reaches the starter's whole group
    ::waitpid(starter, nullptr, 0);
    EXPECT_EQ(pidsOf(exe), std::vector<pid_t>{pid});
    EXPECT_NE(statField(pid, 4), std::to_string(starter));
}

TEST(Launcher, FailuresSayWhy) {
    TempDir dir;
    EXPECT_EQ(startIn((dir / "missing").string(), "", ""), Failure::FileNotFound);
    EXPECT_EQ(startIn("perstando-no-such-program", "", dir.path().string()), Failure::FileNotFound);
    EXPECT_EQ(startIn("", "", ""), Failure::FileNotFound);
    EXPECT_EQ(startIn("/bin/sleep", "1", (dir / "no folder").string()), Failure::PathNotFound);
    EXPECT_EQ(startIn((dir / "no folder" / "prog").string(), "", ""), Failure::PathNotFound);

    // Failures of the exec itself come back too.
    const auto interpreter = dir / "interpreter";
    writeFile(interpreter, "not executable\n");
    fs::permissions(interpreter, fs::perms::owner_read | fs::perms::owner_write);
    const auto denied = dir / "denied.sh";
    writeFile(denied, "#!" + interpreter.string() + "\n");
    fs::permissions(denied, fs::perms::owner_all);
    EXPECT_EQ(startIn(denied.string(), "", ""), Failure::AccessDenied);
    const auto orphan = dir / "orphan.sh";
    writeFile(orphan, "#!" + (dir / "no interpreter").string() + "\n");
    fs::permissions(orphan, fs::perms::owner_all);
    EXPECT_EQ(startIn(orphan.string(), "", ""), Failure::FileNotFound);
    EXPECT_FALSE(haveChildren());
}

TEST(Launcher, OtherFilesGoToTheDefaultApplication) {
    TempDir dir;
    fs::create_directories(dir / "bin");
    const auto opened = dir / "opened";
    writeFile(dir / "bin" / "xdg-open", "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + opened.string() +
                                            ".tmp' && mv '" + opened.string() + ".tmp' '" +
                                            opened.string() + "'\n");
    fs::permissions(dir / "bin" / "xdg-open", fs::perms::owner_all);
    const auto folder = dir / "Dökument Folder";
    fs::create_directories(folder);
    const auto document = folder / "Rëport 1.txt";
    writeFile(document, "text\n");
    const auto marked = folder / "looks executable.pdf"; // as every file on a FAT mount
    writeFile(marked, "%PDF-1.4\n");
    fs::permissions(marked, fs::perms::owner_all);
    {
        ScopedPath path((dir / "bin").string() + ":" + std::getenv("PATH"));
        EXPECT_EQ(startIn(document.string(), "ignored", ""), Failure::None);
        EXPECT_EQ(recorded(opened), std::vector<std::string>{document.string()});
        EXPECT_EQ(startIn("Rëport 1.txt", "", folder.string()), Failure::None);
        EXPECT_EQ(recorded(opened), std::vector<std::string>{document.string()});
        EXPECT_EQ(startIn(marked.string(), "", ""), Failure::None);
        EXPECT_EQ(recorded(opened), std::vector<std::string>{marked.string()});
        // A folder opens no program: a failed start, never a restart of nothing.
        EXPECT_EQ(startIn(folder.string(), "", ""), Failure::AccessDenied);
        EXPECT_EQ(startIn("Dökument Folder", "", dir.path().string()), Failure::AccessDenied);
        EXPECT_FALSE(fs::exists(opened));
    }
    ScopedPath noOpener((dir / "nothing here").string());
    EXPECT_EQ(startIn(document.string(), "", ""), Failure::NoAssociation);
}

TEST(Launcher, DefaultApplicationFailingAtOnceFailsTheStart) {
    TempDir dir;
    fs::create_directories(dir / "failing");
    fs::create_directories(dir / "slow");
    writeFile(dir / "failing" / "xdg-open", "#!/bin/sh\nexit 4\n");
    fs::permissions(dir / "failing" / "xdg-open", fs::perms::owner_all);
    // An opener that runs the viewer in the foreground has not failed.
    const auto viewer = copyExecutable("/bin/sleep", dir.path(), uniqueName("viewer"));
    KillAtEnd cleanup(viewer);
    writeFile(dir / "slow" / "xdg-open", "#!/bin/sh\nexec '" + viewer.string() + "' 30\n");
    fs::permissions(dir / "slow" / "xdg-open", fs::perms::owner_all);
    const auto script = dir / "not executable.sh";
    writeFile(script, "#!/bin/sh\nexit 0\n");
    fs::permissions(script, fs::perms::owner_read | fs::perms::owner_write);
    {
        ScopedPath path((dir / "failing").string() + ":" + std::getenv("PATH"));
        EXPECT_EQ(startIn(script.string(), "", ""), Failure::NoAssociation);
        EXPECT_FALSE(haveChildren());
    }
    ScopedPath path((dir / "slow").string() + ":" + std::getenv("PATH"));
    EXPECT_EQ(startIn(script.string(), "", ""), Failure::None);
    EXPECT_GT(onlyProcessOf(viewer), 0);
    EXPECT_FALSE(haveChildren());
}

TEST(Launcher, LooksInTheWorkingDirectoryThenOnPath) {
    TempDir dir;
    fs::create_directories(dir / "bin");
    fs::create_directories(dir / "work");
    const auto onPath = copyExecutable("/bin/sleep", dir / "bin", uniqueName("on-path"));
    const auto inWork = copyExecutable("/bin/sleep", dir / "work", uniqueName("in-work"));
    KillAtEnd cleanupPath(onPath);
    KillAtEnd cleanupWork(inWork);
    ScopedPath path((dir / "bin").string() + ":" + std::getenv("PATH"));

    EXPECT_EQ(startIn(inWork.filename().string(), "1000", (dir / "work").string()), Failure::None);
    EXPECT_GT(onlyProcessOf(inWork), 0);
    EXPECT_EQ(startIn(onPath.filename().string(), "1000", (dir / "work").string()), Failure::None);
    const pid_t pid = onlyProcessOf(onPath);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(testing_support::cwdOf(pid), dir / "work");
}

TEST(Launcher, SplitCommandLineGroupsQuotedWords) {
    using Words = std::vector<std::string>;
    EXPECT_EQ(launcher::splitCommandLine(""), Words{});
    EXPECT_EQ(launcher::splitCommandLine(" \t "), Words{});
    EXPECT_EQ(launcher::splitCommandLine("a  \"b c\"\td"), (Words{"a", "b c", "d"}));
    EXPECT_EQ(launcher::splitCommandLine("\"\" x"), (Words{"", "x"}));
    EXPECT_EQ(launcher::splitCommandLine("ab\"c d\"e f"), (Words{"abc de", "f"}));
    EXPECT_EQ(launcher::splitCommandLine("\"/opt/My App/x -y"), (Words{"/opt/My App/x -y"}));
}

TEST(RunCommandLine, SplitAndDirectoryRule) {
    const std::string cwd = fs::current_path().string();
    struct Row {
        std::string line;
        std::optional<std::string> directory;
        std::string program, arguments, derived, lineAfter;
    };
    const std::vector<Row> rows{
        {"/T/Tools/pager 555 -q",
         {},
         "/T/Tools/pager",
         "555 -q",
         "/T/Tools",
         "/T/Tools/pager 555 -q"},
        {"\"/T/Program Files/Pager/pg\"   -n 2",
         {},
         "/T/Program Files/Pager/pg",
         "-n 2",
         "/T/Program Files/Pager",
         "/T/Program Files/Pager/pg   -n 2"},
        {"/pg", {}, "/pg", "", "/", "/pg"},
        {"pg /x", {}, "pg", "/x", cwd, "pg /x"},
        {"\"/T/Program Files/pg",
         {},
         "\"/T/Program Files/pg",
         "",
         "\"/T/Program Files",
         "\"/T/Program Files/pg"},
        {"", {}, "", "", cwd, ""},
        {" lead", {}, "", "lead", cwd, " lead"},
        {"\"/T/a b/x\"-y", {}, "/T/a b/x", "-y", "/T/a b", "/T/a b/x-y"},
        {"\"pg\" a", {}, "pg", "a", cwd, "pg a"},
        {"/T/Tools/pager 1", "/w", "/T/Tools/pager", "1", "/w", "/T/Tools/pager 1"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.line);
        std::string line = row.line;
        const auto parts = launcher::splitCommand(line, row.directory);
        EXPECT_EQ(parts.program, row.program);
        EXPECT_EQ(parts.arguments, row.arguments);
        EXPECT_EQ(parts.directory, row.derived);
        EXPECT_EQ(line, row.lineAfter);
    }
}

TEST(RunCommandLine, StartsInTheProgramsFolderAndRemovesTheQuotes) {
    TempDir dir;
    const auto script = recorder(dir / "Program Files ü");
    std::string line = "\"" + script.string() + "\"   -n 2";
    EXPECT_TRUE(launcher::runCommandLine(line));
    EXPECT_EQ(line, script.string() + "   -n 2");
    EXPECT_EQ(recordedRun(script),
              (std::vector<std::string>{script.parent_path().string(), "-n", "2"}));
}

TEST(RunCommandLine, FallbackStartsTheWholeLineDirectlyOrFails) {
    TempDir dir;
    const std::string cwd = fs::canonical(fs::current_path()).string();
    const auto plain = recorder(dir / "plain");
    const auto pwned = dir / "pwned";
    // A missing directory makes the start by association fail; the fallback runs
    // the line itself, here in Perstando's directory, with no shell in between.
    std::string line = plain.string() + " 'a b' $HOME ; touch " + pwned.string();
    EXPECT_TRUE(launcher::runCommandLine(line, (dir / "gone").string()));
    EXPECT_EQ(recordedRun(plain),
              (std::vector<std::string>{cwd, "'a", "b'", "$HOME", ";", "touch", pwned.string()}));
    EXPECT_FALSE(fs::exists(pwned));

    // No closing quote: the derived folder starts with the quote and does not exist.
    const auto spaced = recorder(dir / "with blanks");
    line = "\"" + spaced.string();
    EXPECT_TRUE(launcher::runCommandLine(line));
    EXPECT_EQ(recordedRun(spaced), std::vector<std::string>{cwd});

    std::string missing = (dir / "missing").string() + " arg";
    EXPECT_FALSE(launcher::runCommandLine(missing));
    std::string empty;
    EXPECT_FALSE(launcher::runCommandLine(empty));
    EXPECT_FALSE(haveChildren());
}

} // namespace
