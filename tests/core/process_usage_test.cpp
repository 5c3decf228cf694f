// What a watched program costs, read from real process trees.

#include "core/child_reaper.h"
#include "core/launcher.h"
#include "core/process_probe.h"
#include "core/process_usage.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

namespace {

namespace fs = std::filesystem;
using processes::RememberedProcess;
using processes::Usage;
using namespace testing_support;

/// A copy of the watched program with a mode of its own; every copy's
/// processes are killed at the end, wherever they were reparented.
class ModeProgram {
public:
    ModeProgram(const TempDir &dir, const std::string &mode)
        : path_(copyExecutable(WATCHED_PROGRAM, dir.path(), uniqueName("usage"))) {
        writeFile(path_.string() + ".mode", mode + "\n");
    }
    ~ModeProgram() { killAll(path_); }
    ModeProgram(const ModeProgram &) = delete;
    ModeProgram &operator=(const ModeProgram &) = delete;

    const fs::path &path() const { return path_; }
    /// The one live process of this copy; 0 until there is one.
    pid_t pid() const {
        const auto pids = pidsOf(path_);
        return pids.size() == 1 ? pids.front() : 0;
    }

private:
    fs::path path_;
};

std::string exeOfPid(pid_t pid) {
    std::error_code ec;
    return fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec).string();
}

std::optional<Usage> usageOf(pid_t pid) {
    RememberedProcess memory;
    memory.remember(pid);
    return processes::treeUsage(memory);
}

TEST(TreeUsage, CountsTheMemoryAndTimeOfEveryDescendant) {
    TempDir dir;
    ModeProgram grower(dir, "grow 16");
    ModeProgram spinner(dir, "busy");
    Child parent({"/bin/sh", "-c", "\"$0\" & \"$1\" & wait", grower.path().string(),
                  spinner.path().string()});
    ASSERT_TRUE(waitUntil([&] { return grower.pid() != 0 && spinner.pid() != 0; }));

    auto found = processes::descendants(parent.pid());
    std::sort(found.begin(), found.end());
    auto expected = std::vector<int>{grower.pid(), spinner.pid()};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(found, expected);
    EXPECT_TRUE(processes::descendants(grower.pid()).empty());

    RememberedProcess memory;
    memory.remember(parent.pid());
    const auto first = processes::treeUsage(memory);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->processes, 3);
    // The grower's 32 MiB more and half a second of the spinner's time.
    const std::uint64_t moreBytes = 32ull << 20;
    const auto moreTicks = static_cast<std::uint64_t>(processes::clockTicksPerSecond() / 2);
    // The grower alone is waited for too: the tree's growth may be partly the
    // others' (a sanitizer's shadow memory), so it says nothing of the grower.
    std::optional<Usage> growerAlone;
    std::optional<Usage> tree;
    EXPECT_TRUE(waitUntil([&] {
        tree = processes::treeUsage(memory);
        growerAlone = usageOf(grower.pid());
        return tree && growerAlone && growerAlone->residentBytes >= moreBytes &&
               tree->residentBytes >= first->residentBytes + moreBytes &&
               tree->cpuTicks >= first->cpuTicks + moreTicks;
    })) << "the tree's usage did not grow";

    // A process alone is only itself.
    ASSERT_TRUE(growerAlone && tree);
    EXPECT_EQ(growerAlone->processes, 1);
    EXPECT_LT(growerAlone->residentBytes, tree->residentBytes);

    parent.stop();
    EXPECT_FALSE(processes::treeUsage(memory)) << "an ended process has no usage";
}

// The tree is undercounted neither by what it left to its subreaper nor in
// silence: a worker whose parent ended counts when it carries the program's
// mark, and a walk that meets its bound says it was cut.
TEST(TreeUsage, OrphansMarkedAsTheProgramsCountAndAWalkCutShortSaysSo) {
    ASSERT_TRUE(reaper::setChildSubreaper(true));
    TempDir dir;
    ModeProgram worker(dir, "grow 8");
    const std::string mark = "PERSTANDO_SLOT=7:" + std::to_string(::getpid());
    // The program leaves its worker behind through a subshell that ends.
    const auto started =
        launcher::start("/bin/sh", "-c \"($0 &); exec sleep 1000\" " + worker.path().string(),
                        dir.path().string(), {mark});
    ASSERT_TRUE(started.ok());
    ASSERT_TRUE(
        waitUntil([&] { return worker.pid() != 0 && exeOfPid(started.pid).ends_with("/sleep"); }));
    RememberedProcess memory;
    memory.remember(started.pid);
    const auto orphans = processes::childrenMarked(mark);
    EXPECT_EQ(processes::treeUsage(memory)->processes, 1) << "the worker is no descendant";
    const auto withOrphans = processes::treeUsage(memory, orphans);
    ASSERT_TRUE(withOrphans);
    EXPECT_EQ(withOrphans->processes, 2);
    EXPECT_FALSE(withOrphans->cut);
    EXPECT_TRUE(processes::childrenMarked(mark + "0").empty()) << "a mark matches whole";
    for (const pid_t child : {static_cast<pid_t>(started.pid), worker.pid()}) {
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
    }
    reaper::setChildSubreaper(false);

    // More processes than a walk counts, all asleep.
    ModeProgram forker(dir, "fork " + std::to_string(processes::MaxTreeProcesses));
    Child root({forker.path().string()});
    ASSERT_TRUE(
        waitUntil([&] { return pidsOf(forker.path()).size() > processes::MaxTreeProcesses; },
                  std::chrono::seconds(60)));
    const auto cut = usageOf(root.pid());
    ASSERT_TRUE(cut);
    EXPECT_TRUE(cut->cut);
    EXPECT_EQ(static_cast<std::size_t>(cut->processes), processes::MaxTreeProcesses);
}

// A busy child that has ended and been waited for keeps its time in the tree,
// so a program that spends its time in short-lived children shows it.
TEST(TreeUsage, TheTimeOfAnEndedChildStaysInTheTree) {
    TempDir dir;
    ModeProgram spinner(dir, "busy");
    const fs::path stopFile = dir / "stop";
    Child parent({"/bin/sh", "-c",
                  "\"$0\" & child=$!; while [ ! -e \"$1\" ]; do sleep 0.05; done; "
                  "kill $child; wait $child; exec sleep 1000",
                  spinner.path().string(), stopFile.string()});
    RememberedProcess memory;
    ASSERT_TRUE(waitUntil([&] { return spinner.pid() != 0; }));
    memory.remember(parent.pid());
    // Mostly the spinner's: more than the shell alone would ever spend.
    const auto enough = static_cast<std::uint64_t>(processes::clockTicksPerSecond() / 4);
    std::uint64_t spent = 0;
    ASSERT_TRUE(waitUntil([&] {
        const auto now = processes::treeUsage(memory);
        spent = now ? now->cpuTicks : 0;
        return spent >= enough;
    }));
    writeFile(stopFile, "");
    ASSERT_TRUE(waitUntil([&] { return spinner.pid() == 0; }));
    std::optional<Usage> after;
    ASSERT_TRUE(waitUntil([&] {
        after = processes::treeUsage(memory);
        return after && after->processes == 1; // the shell became the sleep
    }));
    EXPECT_GE(after->cpuTicks, spent);
}

// A remembered process ends and a stranger gets its PID: nothing of the
// stranger is read. Run as PID 1 of a namespace of its own, where the next PID
// can be chosen.
TEST(TreeUsage, AStrangerThatTookThePidIsNeverRead) {
    int status = 0;
    switch (
        testing_support::rerunAsPidOne("TreeUsage.AStrangerThatTookThePidIsNeverRead", status)) {
    case testing_support::PidNamespace::Unavailable:
        GTEST_SKIP() << "no PID namespace can be made here";
    case testing_support::PidNamespace::RanThere:
        EXPECT_EQ(status, 0);
        return;
    case testing_support::PidNamespace::Inside:
        break;
    }
    const pid_t victim = ::fork();
    if (victim == 0) {
        ::pause();
        ::_exit(0);
    }
    RememberedProcess memory;
    memory.remember(victim);
    ASSERT_TRUE(processes::treeUsage(memory));
    ::kill(victim, SIGKILL);
    ::waitpid(victim, nullptr, 0);
    const std::string last = std::to_string(victim - 1);
    const int lastPid = ::open("/proc/sys/kernel/ns_last_pid", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(lastPid, 0);
    ASSERT_EQ(::write(lastPid, last.data(), last.size()), static_cast<ssize_t>(last.size()));
    ::close(lastPid);
    const pid_t stranger = ::fork();
    if (stranger == 0) {
        ::pause();
        ::_exit(0);
    }
    EXPECT_EQ(stranger, victim);
    EXPECT_FALSE(processes::treeUsage(memory));
    EXPECT_TRUE(usageOf(stranger)) << "the stranger itself can be read";
    ::kill(stranger, SIGKILL);
    ::waitpid(stranger, nullptr, 0);
}

} // namespace
