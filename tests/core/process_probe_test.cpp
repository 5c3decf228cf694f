#include "core/process_probe.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <sched.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <functional>

extern char **environ;

namespace {

namespace fs = std::filesystem;
using processes::findByName;
using processes::isRunning;
using testing_support::Child;
using testing_support::copyExecutable;
using testing_support::pidsOf;
using testing_support::TempDir;
using testing_support::uniqueName;
using testing_support::waitUntil;

std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

char stateOf(pid_t pid) {
    const auto stat = testing_support::readFile("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() ? '?' : stat[close + 2];
}

/// Runs `probe` in a forked child and returns its answer; the child may first
/// change its account or mounts in `prepare` (false: cannot, exit 77).
int inChild(const std::function<bool()> &prepare, const std::function<int()> &probe) {
    const pid_t child = ::fork();
    if (child == 0) {
        ::_exit(prepare() ? probe() : 77);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

/// Started copies of /bin/sleep under one unique, mixed-case name.
struct Sleeper {
    TempDir dir;
    std::string name = uniqueName("Orders") + ".Bin";
    fs::path exe = copyExecutable("/bin/sleep", dir.path(), name);

    Child start() {
        Child child({exe.string(), "1000"});
        const pid_t pid = child.pid();
        EXPECT_TRUE(waitUntil([&] {
            const auto pids = pidsOf(exe);
            return std::find(pids.begin(), pids.end(), pid) != pids.end();
        }));
        return child;
    }
};

TEST(ProcessProbes, MatchRulesIgnoreCase) {
    Sleeper s;
    EXPECT_FALSE(findByName(s.name));
    EXPECT_FALSE(isRunning(s.name));
    Child child = s.start();

    EXPECT_TRUE(findByName(s.name));
    EXPECT_TRUE(findByName(upper(s.name)));
    EXPECT_TRUE(findByName(lower(s.name)));
    EXPECT_TRUE(isRunning(lower(s.name)));

    // Part of the name: a substring of the path, but not the whole file name.
    const std::string partial = s.name.substr(2);
    EXPECT_TRUE(isRunning(upper(partial)));
    EXPECT_FALSE(findByName(partial));

    // A name with a folder: isRunning takes any part of the path, findByName the whole path.
    EXPECT_TRUE(isRunning(s.dir.path().string()));
    EXPECT_TRUE(isRunning(upper(s.exe.string())));
    EXPECT_TRUE(findByName(upper(s.exe.string())));
    EXPECT_FALSE(findByName("/elsewhere/" + s.name));
    EXPECT_FALSE(findByName(s.dir.path().string()));

    // The empty name: contained in every path, equal to no process name.
    EXPECT_TRUE(isRunning(""));
    EXPECT_FALSE(findByName(""));

    child.stop();
    EXPECT_FALSE(findByName(s.name));
    EXPECT_FALSE(isRunning(s.name));
}

TEST(ProcessProbes, TwoInstancesCountUntilTheLastEnds) {
    Sleeper s;
    Child first = s.start();
    Child second = s.start();
    EXPECT_TRUE(findByName(s.name));
    EXPECT_TRUE(isRunning(s.name));
    const auto names = processes::runningExecutableNames();
    EXPECT_EQ(std::count(names.begin(), names.end(), s.name), 2);

    first.stop();
    EXPECT_TRUE(findByName(s.name));
    EXPECT_TRUE(isRunning(s.name));
    second.stop();
    EXPECT_FALSE(findByName(s.name));
    EXPECT_FALSE(isRunning(s.name));
}

TEST(ProcessProbes, ZombieIsNotRunning) {
    TempDir dir;
    // Short enough to be the whole kernel name of the process, which is all a zombie keeps.
    const std::string name = uniqueName("z");
    ASSERT_LT(name.size(), 16u);
    const auto exe = copyExecutable("/bin/true", dir.path(), name);
    const std::string path = exe.string();
    char *argv[] = {const_cast<char *>(path.c_str()), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(::posix_spawn(&pid, argv[0], nullptr, nullptr, argv, environ), 0);
    // This test is the parent and does not reap until it has looked.
    ASSERT_TRUE(waitUntil([&] { return stateOf(pid) == 'Z'; }));

    EXPECT_FALSE(findByName(name));
    EXPECT_FALSE(findByName(path));
    EXPECT_FALSE(isRunning(name));
    ::waitpid(pid, nullptr, 0);
}

TEST(ProcessProbes, ReplacedBinaryStillCountsUnderItsPath) {
    Sleeper s;
    Child child = s.start();
    fs::remove(s.exe);
    copyExecutable("/bin/true", s.dir.path(), s.name); // a new file at the same path
    ASSERT_TRUE(fs::read_symlink("/proc/" + std::to_string(child.pid()) + "/exe")
                    .string()
                    .ends_with(" (deleted)"));

    EXPECT_TRUE(findByName(s.name));
    EXPECT_TRUE(findByName(s.exe.string()));
    EXPECT_TRUE(isRunning(s.exe.string()));
    const auto names = processes::runningExecutableNames();
    EXPECT_EQ(std::count(names.begin(), names.end(), s.name), 1);
}

TEST(ProcessProbes, ScriptCountsUnderItsOwnPathAndName) {
    TempDir dir;
    const auto fifo = dir / "never-written";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // The shells block opening the FIFO; nothing forks, so killing them ends everything.
    const std::string block = "read line < '" + fifo.string() + "'\n";
    struct Case {
        std::string shebang;
        std::string body;
        bool relativeStart;
    };
    std::vector<Case> cases{{"#!/bin/sh -e", block, false}, {"#!/usr/bin/env sh", block, true}};
    if (fs::exists("/usr/bin/python3")) {
        cases.push_back({"#!/usr/bin/python3", "import time\ntime.sleep(1000)\n", false});
    }
    for (const auto &c : cases) {
        SCOPED_TRACE(c.shebang);
        const std::string name = uniqueName("Backup") + ".script";
        const auto script = dir / name;
        testing_support::writeFile(script, c.shebang + "\n" + c.body);
        fs::permissions(script, fs::perms::owner_all);
        Child child({c.relativeStart ? "./" + name : script.string()}, dir.path());
        // Running once the interpreter itself runs the script (env has passed it on).
        const std::string proc = "/proc/" + std::to_string(child.pid());
        ASSERT_TRUE(waitUntil([&] {
            std::error_code ec;
            const auto exe = fs::read_symlink(proc + "/exe", ec).filename();
            return exe != "env" &&
                   testing_support::readFile(proc + "/cmdline").find(name) != std::string::npos;
        }));

        EXPECT_TRUE(findByName(name));
        EXPECT_TRUE(findByName(upper(name)));
        EXPECT_TRUE(findByName(script.string()));
        EXPECT_TRUE(isRunning(script.string()));
        EXPECT_TRUE(isRunning(lower(name)));
        child.stop();
        EXPECT_FALSE(findByName(name));
        EXPECT_FALSE(isRunning(name));
    }
}

TEST(ProcessProbes, AnotherAccountIsSeenByFindByNameOnly) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to start processes under other accounts";
    }
    Sleeper s;
    fs::permissions(s.dir.path(),
                    fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    Child target({"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                  s.exe.string(), "1000"});
    ASSERT_TRUE(waitUntil([&] { return !pidsOf(s.exe).empty(); }));

    // The probes run in a third account, which can read neither root's nor nobody's exe links.
    const auto asStranger = [] {
        const uid_t id = 54321;
        return ::setgroups(0, nullptr) == 0 && ::setresgid(id, id, id) == 0 &&
               ::setresuid(id, id, id) == 0;
    };
    const auto probe = [&](const std::function<bool()> &question) {
        return inChild(asStranger, [&] { return question() ? 1 : 0; });
    };
    EXPECT_EQ(probe([&] { return findByName(s.name); }), 1);
    EXPECT_EQ(probe([&] { return findByName(s.exe.string()); }), 1);
    EXPECT_EQ(probe([&] { return isRunning(s.name); }), 0);
    EXPECT_EQ(probe([&] { return isRunning(s.dir.path().string()); }), 0);
    // Kernel threads have no exe link for anyone, but a name.
    if (testing_support::readFile("/proc/2/comm") == "kthreadd\n") {
        EXPECT_EQ(probe([&] { return findByName("KTHREADD"); }), 1);
    }
}

TEST(ProcessProbes, NoProcessListRaisesOnlyInFindByName) {
    // A private mount namespace with an empty tmpfs over /proc.
    const auto withoutProc = [] {
        return ::unshare(CLONE_NEWNS) == 0 &&
               ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
               ::mount("none", "/proc", "tmpfs", 0, nullptr) == 0;
    };
    const int answer = inChild(withoutProc, [] {
        int bits = 0;
        try {
            processes::findByName("init");
        } catch (const processes::ListUnavailable &) {
            bits |= 1;
        }
        bits |= isRunning("") ? 0 : 2;
        bits |= processes::runningExecutableNames().empty() ? 4 : 0;
        return bits;
    });
    if (answer == 77) {
        GTEST_SKIP() << "cannot make a mount namespace here";
    }
    EXPECT_EQ(answer, 7);
}

TEST(ProcessProbes, EveryDescriptorIsClosedAndNamesListKernelThreads) {
    const auto openDescriptors = [] {
        return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
    };
    Sleeper s;
    Child child = s.start();
    const auto before = openDescriptors();
    for (int i = 0; i < 20; ++i) {
        findByName(s.name);
        findByName("no such program");
        isRunning(s.name);
        isRunning("no such program");
        processes::runningExecutableNames();
    }
    EXPECT_EQ(openDescriptors(), before);

    const auto names = processes::runningExecutableNames();
    const auto self = fs::read_symlink("/proc/self/exe").filename().string();
    EXPECT_NE(std::find(names.begin(), names.end(), self), names.end());
    if (testing_support::readFile("/proc/2/comm") == "kthreadd\n") {
        EXPECT_NE(std::find(names.begin(), names.end(), "kthreadd"), names.end());
    }
}

} // namespace
