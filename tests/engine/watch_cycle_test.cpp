// The watch cycle without a window: a program found gone is started in its
// folder and seen running, slot 1 finds its program by whole name only, a
// start that fails is said as such, unnamed slots are never checked, and a
// restart's command-line action runs before its log entry.

#include "core/program_folder.h"
#include "engine/slot_watcher.h"
#include "engine/switched_timer.h"
#include "engine/watchdog.h"
#include "tests/engine/program_folder_test.h"
#include "tests/engine/wait_with_events.h"
#include "tests/support/test_support.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <gtest/gtest.h>

using namespace testing_support;

namespace {

class WatchCycleTest : public ProgramFolderTest {
protected:
    engine::Phase phase(int slot) const { return watchdog_->slotWatcher().slotState(slot).phase; }
};

TEST_F(WatchCycleTest, MissingProgramIsStartedInItsFolderThenSeenRunning) {
    const auto exe = program("orders");
    std::filesystem::create_directory(folder_ / "work");
    auto &watcher = start("[exe2]\nname=Orders\npath=" + exe.string() +
                          "\n[workingexe2]\npath2=" + (folder_ / "work").string() + "\n");
    watcher.tick(2);
    // The status line is the one text a person reads: its exact form counts.
    static const QRegularExpression restartedText(
        QStringLiteral("^Restarted: \\d{1,2}:\\d{2}:\\d{2} [AP]M ,\\d{1,2}/\\d{1,2}/\\d{4}$"));
    EXPECT_TRUE(restartedText.match(watcher.status(2)).hasMatch())
        << watcher.status(2).toStdString();
    ASSERT_EQ(pidsOf(exe).size(), 1u);
    EXPECT_EQ(watcher.slotState(2).pid, pidsOf(exe)[0]);
    EXPECT_EQ(cwdOf(pidsOf(exe)[0]), folder_ / "work");
    EXPECT_EQ(occurrences(logText(), std::string(53, '*') + "\n"), 2);
    EXPECT_EQ(occurrences(logText(), ",Orders has been restarted.\n"), 1);

    watcher.tick(2);
    EXPECT_EQ(phase(2), engine::Phase::Running);
    EXPECT_TRUE(watcher.status(2).startsWith(u"Last Checked: ")) << watcher.status(2).toStdString();
    EXPECT_EQ(pidsOf(exe).size(), 1u);
    EXPECT_EQ(occurrences(logText(), "has been restarted."), 1);
}

TEST_F(WatchCycleTest, SlotOneFindsItsProgramByWholeNameOnly) {
    const auto exe = program("ledger");
    auto &watcher = start("[exe1]\nname=Ledger\npath=" + exe.filename().string() +
                          "\n[workingexe1]\npath1=" + folder_.path().string() + "\n");
    watcher.tick(1);
    ASSERT_EQ(pidsOf(exe).size(), 1u);
    EXPECT_EQ(occurrences(logText(), std::string(54, '*') + "\n"), 2);
    watcher.tick(1);
    EXPECT_EQ(phase(1), engine::Phase::Running);
    EXPECT_EQ(pidsOf(exe).size(), 1u);
}

TEST_F(WatchCycleTest, ProgramThatCannotStartIsSaidAsFailedOnEveryCheck) {
    auto &watcher = start("[exe3]\nname=Ghost\npath=" + (folder_ / "no-such-program").string() +
                          "\n[exe1]\nname=Empty\n");
    for (int i = 0; i < 3; ++i) {
        watcher.tick(3);
    }
    EXPECT_EQ(phase(3), engine::Phase::RestartFailed);
    EXPECT_TRUE(watcher.status(3).startsWith(u"Restart failed: "))
        << watcher.status(3).toStdString();
    EXPECT_EQ(occurrences(logText(), ",Ghost could not be restarted.\n"), 3);
    EXPECT_EQ(occurrences(logText(), "has been restarted"), 0);

    watcher.tick(1); // slot 1 with an empty program fails too
    EXPECT_EQ(phase(1), engine::Phase::RestartFailed);
    EXPECT_EQ(occurrences(logText(), ",Empty could not be restarted.\n"), 1);
}

TEST_F(WatchCycleTest, NamedSlotWithEmptyProgramFindsEveryProcess) {
    auto &watcher = start("[exe2]\nname=Anything\npath=\n");
    watcher.tick(2);
    EXPECT_EQ(phase(2), engine::Phase::Running);
    EXPECT_EQ(occurrences(logText(), "restarted"), 0);
}

TEST_F(WatchCycleTest, UnnamedSlotsAreNeverChecked) {
    const auto exe = program("unnamed");
    auto &watcher = start("[exe3]\nname=Executable 3\npath=" + exe.string() +
                          "\ntimer=50\n[exe4]\npath=" + exe.string() + "\ntimer=50\n");
    ASSERT_TRUE(waitWithEvents([&] { return watcher.name(4) == QStringLiteral("Executable 4"); }));
    // Long enough for six ticks of a timer that ran.
    waitWithEvents([] { return false; }, std::chrono::milliseconds(300));
    EXPECT_FALSE(watcher.timer(3)->isEnabled());
    EXPECT_FALSE(watcher.timer(4)->isEnabled());
    EXPECT_TRUE(pidsOf(exe).empty());
    EXPECT_EQ(phase(3), engine::Phase::Unnamed);
    EXPECT_TRUE(watcher.status(3).isEmpty());
}

TEST_F(WatchCycleTest, CommandLineActionRunsWithItsArgumentsBeforeTheRestartEntry) {
    const auto exe = program("service");
    const auto pager = program("pager");
    const auto missing = (folder_ / "missing pager").string();
    auto &watcher = start(
        "[exe5]\nname=Service\npath=" + exe.string() + "\n[cmdline]\ncmdexe5=" + pager.string() +
        " --exit 555 -q\nstatusexe5=On\ncmdexe6=" + pager.string() +
        " --exit six\nstatusexe6=on\ncmdexe7=" + missing +
        " 1\nstatusexe7=On\n[exe6]\nname=Other\npath=" + (folder_ / "gone").string() +
        "\n[exe7]\nname=Svc\npath=" + (folder_ / "gone too").string() + "\n");
    watcher.tick(5);
    const auto starts = pager.string() + ".starts";
    ASSERT_TRUE(
        waitUntil([&] { return occurrences(readFile(starts), "args=--exit|555|-q\n") == 1; }));
    const auto text = logText();
    const auto action = text.find("Command Line Action has been initiated!");
    ASSERT_NE(action, std::string::npos) << text;
    EXPECT_LT(action, text.find(",Service has been restarted."));
    const auto lineStart = text.rfind('\n', action) + 1;
    const auto rowStart = text.rfind('\n', lineStart - 2) + 1;
    EXPECT_EQ(text.substr(rowStart, lineStart - rowStart), std::string(54, '*') + "\n");

    // "on" is not "On": nothing runs.
    watcher.tick(6);
    // A line that cannot start is logged as such, the restart all the same.
    watcher.tick(7);
    EXPECT_EQ(occurrences(readFile(starts), "six"), 0);
    EXPECT_EQ(occurrences(logText(), "Command Line Action has been initiated!"), 1);
    EXPECT_EQ(occurrences(logText(), "Command Line Action could not be initiated!\n"), 1);
    EXPECT_EQ(occurrences(logText(), ",Svc could not be restarted."), 1);
}

TEST_F(WatchCycleTest, TimersDriveTheChecks) {
    const auto exe = program("timed");
    auto &watcher = start("[exe7]\nname=Timed\npath=" + exe.string() + "\ntimer=100\n");
    ASSERT_TRUE(waitWithEvents([&] { return pidsOf(exe).size() == 1; }));
    ASSERT_TRUE(waitWithEvents([&] { return phase(7) == engine::Phase::Running; }));
    EXPECT_TRUE(watcher.slotState(7).lastCheck.isValid());
}

} // namespace
