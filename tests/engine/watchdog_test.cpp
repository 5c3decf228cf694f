// The watchdog without any window: settings read into their types, a killed
// program restarted, and the restart reported in order; restarts at once.

#include "core/launcher.h"
#include "core/program_folder.h"
#include "engine/alarm_state.h"
#include "engine/slot_watcher.h"
#include "engine/watchdog.h"
#include "tests/support/test_support.h"

#include <QCoreApplication>
#include <QStringList>
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>

using namespace testing_support;

namespace {

class WatchdogTest : public ::testing::Test {
protected:
    void SetUp() override { core::setProgramFolderOverride(folder_.path().string()); }
    void TearDown() override {
        for (const auto &exe : programs_) {
            killAll(exe);
        }
        core::setProgramFolderOverride({});
    }
    void writeSettings(const std::string &text) { writeFile(folder_ / "settings.ini", text); }
    std::filesystem::path program(const std::string &stem) {
        programs_.push_back(copyExecutable(WATCHED_PROGRAM, folder_.path(), uniqueName(stem)));
        return programs_.back();
    }
    /// Starts `exe` apart from Perstando, as a user would.
    static pid_t startApart(const std::filesystem::path &exe) {
        const auto started = launcher::start(exe.string(), {}, {});
        EXPECT_GT(started.pid, 0);
        return started.pid;
    }
    static bool waitWithEvents(const std::function<bool()> &condition,
                               std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        return waitUntil(
            [&] {
                QCoreApplication::processEvents();
                return condition();
            },
            timeout);
    }
    static int count(const std::string &text, const std::string &piece) {
        int n = 0;
        for (auto at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
            ++n;
        }
        return n;
    }
    TempDir folder_;
    std::vector<std::filesystem::path> programs_;
};

TEST_F(WatchdogTest, SwitchesCountOnlyForTheirExactWordAndBadIntervalsAreNoIntervals) {
    writeSettings("[exe1]\nname=One\ntimer=1500\n[exe2]\ntimer=250.5\n[exe3]\ntimer=abc\n"
                  "[exe4]\ntimer=70000\n[CMDLINE]\nstatusexe1=On\nstatusexe2=on\n"
                  "[Alerts]\nvisual=On\naudio=ON\n[mail]\nnotification=On\n"
                  "[startupmode]\ninicontray=yes\n[Internet]\nMonitor=On\nalive= On \n");
    const auto s = settings::Snapshot::read();
    EXPECT_EQ(s.perSlot[0].name, QStringLiteral("One"));
    EXPECT_EQ(s.perSlot[0].intervalMs, 1500);
    EXPECT_EQ(s.perSlot[1].intervalMs, 250); // ties go to the even neighbour
    EXPECT_EQ(s.perSlot[2].intervalMs, std::nullopt);
    EXPECT_EQ(s.perSlot[3].intervalMs, std::nullopt);
    EXPECT_TRUE(s.perSlot[0].commandLineOn);
    EXPECT_FALSE(s.perSlot[1].commandLineOn);
    EXPECT_TRUE(s.visualAlarm);
    EXPECT_FALSE(s.audioAlarm);
    EXPECT_TRUE(s.mail.on);
    EXPECT_FALSE(s.startInTray) << "only exactly \"Yes\"";
    EXPECT_TRUE(s.watchInternet);
    EXPECT_TRUE(s.keepUp) << "values are trimmed";
    EXPECT_TRUE(s.problem.isEmpty());
}

TEST_F(WatchdogTest, AKilledProgramIsRestartedWithoutAnyWindowAndReportedInOrder) {
    const auto exe = program("orders");
    const auto log = folder_ / "watch.log";
    writeSettings("[exe2]\nname=Orders\npath=" + exe.string() + "\n[log]\npath=" + log.string() +
                  "\n[Alerts]\nvisual=On\nPop=On\n");
    engine::Watchdog watchdog(nullptr);
    QStringList events;
    auto &watcher = watchdog.slotWatcher();
    QObject::connect(&watcher, &engine::SlotWatcher::statusChanged, &watchdog,
                     [&](int slot, const QString &text) {
                         if (slot == 2) {
                             events << text.section(QLatin1Char(':'), 0, 0);
                         }
                     });
    QObject::connect(&watcher, &engine::SlotWatcher::restarted, &watchdog,
                     [&](int, bool failed) { EXPECT_FALSE(failed); });
    QObject::connect(&watchdog, &engine::Watchdog::popupRequested, &watchdog,
                     [&](int slot, const QString &name, bool) {
                         // The entry is in the log before anyone hears of the restart.
                         const bool logged =
                             readFile(log).find(",Orders has been restarted.") != std::string::npos;
                         events << QStringLiteral("popup %1 %2%3")
                                       .arg(slot)
                                       .arg(name, logged ? QString() : QStringLiteral(" unlogged"));
                     });
    watchdog.start();
    ASSERT_TRUE(watcher.refresh());
    EXPECT_FALSE(watcher.isWatched(1));
    EXPECT_EQ(watcher.name(1), QStringLiteral("Executable 1"));

    watcher.tick(2);
    ASSERT_TRUE(waitUntil([&] { return pidsOf(exe).size() == 1; }));
    watcher.tick(2);
    EXPECT_EQ(events, (QStringList{QStringLiteral("Restarted"), QStringLiteral("popup 2 Orders"),
                                   QStringLiteral("Last Checked")}));
    EXPECT_TRUE(watchdog.alarms().visualRaised());
    EXPECT_FALSE(watchdog.alarms().audioRaised());
    const std::string text = readFile(log);
    EXPECT_NE(text.find(std::string(53, '*') + "\n"), std::string::npos) << text;
    EXPECT_EQ(text.find(std::string(54, '*')), std::string::npos) << "slot 2 uses the short row";
}

// A slot set to restart at once, at an interval far longer than the test:
// a kill while paused stays unanswered, a kill while watching is answered at
// once with one restart, and the process is known before the first check.
TEST_F(WatchdogTest, RestartAtOnceAnswersTheEndNotTheTimerAndHoldsWhilePaused) {
    const auto exe = program("desk");
    const auto log = folder_ / "watch.log";
    writeSettings("[exe2]\nname=Desk\npath=" + exe.string() +
                  "\ntimer=60000\nimmediate=On\n[log]\npath=" + log.string() + "\n");
    const pid_t first = startApart(exe);
    engine::Watchdog watchdog(nullptr);
    auto &watcher = watchdog.slotWatcher();
    watchdog.start();
    ASSERT_TRUE(watcher.refresh());
    EXPECT_EQ(watcher.watchedProcess(2), first) << "known before the first check";

    watchdog.setPaused(true);
    ::kill(first, SIGKILL);
    // The killed one may linger a moment: only another process counts.
    const auto another = [&](pid_t known) {
        const auto pids = pidsOf(exe);
        return std::any_of(pids.begin(), pids.end(), [&](pid_t pid) { return pid != known; });
    };
    EXPECT_FALSE(waitWithEvents([&] { return another(first); }, std::chrono::seconds(1)))
        << "paused, yet restarted";
    watchdog.setPaused(false);
    ASSERT_TRUE(watcher.refresh());

    const pid_t second = startApart(exe);
    watcher.tick(2);
    ASSERT_EQ(watcher.watchedProcess(2), second);
    ::kill(second, SIGKILL);
    ASSERT_TRUE(waitWithEvents([&] {
        const auto pids = pidsOf(exe);
        return pids.size() == 1 && pids.front() != second;
    })) << "not restarted at once";
    EXPECT_TRUE(watcher.status(2).startsWith(QStringLiteral("Restarted: ")));
    EXPECT_EQ(count(readFile(log), ",Desk has been restarted."), 1) << readFile(log);
    EXPECT_EQ(watcher.watchedProcess(2), pidsOf(exe).front()) << "the restart seeds the memory";
}

// A program that dies right after each start is started once per interval,
// by the timer, and never in a loop on its end.
TEST_F(WatchdogTest, AProgramThatDiesAtStartIsRestartedOncePerIntervalNotInALoop) {
    const auto starts = folder_ / "starts";
    const auto script = folder_ / (uniqueName("brief") + ".sh");
    writeFile(script, "#!/bin/sh\necho x >> '" + starts.string() + "'\nsleep 0.05\n");
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    writeSettings("[exe3]\nname=Brief\npath=" + script.string() + "\ntimer=400\nimmediate=On\n");
    engine::Watchdog watchdog(nullptr);
    watchdog.start();
    ASSERT_TRUE(watchdog.slotWatcher().refresh());
    waitWithEvents([] { return false; }, std::chrono::milliseconds(3000));
    const int started = count(readFile(starts), "x");
    EXPECT_GE(started, 3);
    EXPECT_LE(started, 3000 / 400 + 1);
}

} // namespace
