// "Not responding" in the engine: a slot's window on a server of the test's
// own, stopped with SIGSTOP, is reported after the slot's seconds and, with
// the restart action, ended and started again by the slot's check.

#include "core/program_folder.h"
#include "engine/alarm_state.h"
#include "engine/hang_watch.h"
#include "engine/slot_watcher.h"
#include "engine/status_report.h"
#include "engine/watchdog.h"
#include "tests/engine/wait_with_events.h"
#include "tests/support/x_server.h"

#include <QCoreApplication>
#include <QStringList>
#include <gtest/gtest.h>

#include <signal.h>

#include <cstdlib>
#include <optional>

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

class HangWatchTest : public ::testing::Test {
protected:
    HangWatchTest() {
        if (const char *old = std::getenv("DISPLAY")) {
            savedDisplay_ = old;
        }
        ::setenv("DISPLAY", server_.display().c_str(), 1);
        core::setProgramFolderOverride(folder_.path().string());
        program_ = copyExecutable(testWindowProgram(), folder_.path(), uniqueName("frozen"));
    }
    ~HangWatchTest() override {
        killAll(program_);
        core::setProgramFolderOverride({});
        if (savedDisplay_) {
            ::setenv("DISPLAY", savedDisplay_->c_str(), 1);
        } else {
            ::unsetenv("DISPLAY");
        }
    }
    void expectEndedAndRestarted(bool ignoresTerm);
    std::unique_ptr<TestWindow> openWindow(bool ignoresTerm = false) {
        TestWindowOptions options;
        options.ignoresTerm = ignoresTerm;
        options.stay = true;
        options.answersPing = true;
        options.program = program_;
        auto window = std::make_unique<TestWindow>(server_.display(), options);
        EXPECT_NE(window->id(), 0u);
        return window;
    }
    /// Slot 2 watches the window program, checked once a minute: only the
    /// hang watch acts within a test.
    void writeSettings(const std::string &hangKeys) {
        writeFile(folder_ / "settings.ini",
                  "[exe2]\nname=Frozen\npath=" + program_.string() + "\ntimer=60000\n" + hangKeys +
                      "[log]\npath=" + log().string() + "\n[Alerts]\nvisual=On\n");
    }
    std::filesystem::path log() const { return folder_ / "watch.log"; }
    int entries(const std::string &piece) const {
        const std::string text = readFile(log());
        int n = 0;
        for (auto at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
            ++n;
        }
        return n;
    }

    XServer server_;
    std::optional<std::string> savedDisplay_;
    TempDir folder_;
    std::filesystem::path program_;
};

TEST_F(HangWatchTest, AStopShorterThanTheSecondsIsNothingALongerOneIsReportedOnceUntilItAnswers) {
    writeSettings("hangseconds=3\n");
    auto window = openWindow();
    const pid_t pid = window->process().pid();
    engine::Watchdog watchdog(nullptr);
    auto &watcher = watchdog.slotWatcher();
    watchdog.start();
    ASSERT_TRUE(watcher.refresh());
    watcher.tick(2);
    ASSERT_EQ(watcher.rememberedProcess(2), pid);
    ASSERT_TRUE(waitWithEvents([&] { return window->count("ping") >= 1; }, 10s));

    ::kill(pid, SIGSTOP);
    waitWithEvents([] { return false; }, 1000ms);
    ::kill(pid, SIGCONT);
    EXPECT_FALSE(waitWithEvents([&] { return entries("is not responding.") > 0; }, 3000ms))
        << "a window that answered within the seconds was reported";

    ::kill(pid, SIGSTOP);
    ASSERT_TRUE(waitWithEvents([&] { return entries(",Frozen is not responding.") > 0; }, 10s));
    EXPECT_EQ(watcher.slotState(2).phase, engine::Phase::NotResponding);
    EXPECT_TRUE(watcher.status(2).startsWith(QStringLiteral("Not responding: ")));
    EXPECT_TRUE(watchdog.alarms().visualRaised());
    waitWithEvents([] { return false; }, 3500ms);
    // The slot's check finds the hung program running: the state stays.
    watcher.tick(2);
    EXPECT_EQ(watcher.slotState(2).phase, engine::Phase::NotResponding);
    EXPECT_EQ(watcher.slotState(2).pid, pid);
    EXPECT_TRUE(engine::statusText(watchdog).contains(QStringLiteral("not responding")));
    EXPECT_EQ(entries(",Frozen is not responding."), 1) << readFile(log());
    EXPECT_TRUE(window->process().running()) << "ended without the restart action";
    EXPECT_EQ(entries("has been restarted."), 0);
    ::kill(pid, SIGCONT);
    EXPECT_TRUE(
        waitWithEvents([&] { return watcher.slotState(2).phase == engine::Phase::Running; }, 10s))
        << "answering again did not clear the state";
}

/// A stopped window of slot 2 with the restart action: it is reported, ended
/// and started again by the slot's check, one entry each.
void HangWatchTest::expectEndedAndRestarted(bool ignoresTerm) {
    writeSettings("hangseconds=1\nhangaction=Restart\n");
    auto window = openWindow(ignoresTerm);
    const pid_t pid = window->process().pid();
    engine::Watchdog watchdog(nullptr);
    auto &watcher = watchdog.slotWatcher();
    QStringList phases; // each change once, after the first check
    QObject::connect(&watcher, &engine::SlotWatcher::stateChanged, &watchdog, [&](int slot) {
        const auto phase = watcher.slotState(slot).phase;
        const QString name = engine::phaseName(phase);
        if (slot == 2 && phase != engine::Phase::NotCheckedYet &&
            (phases.isEmpty() || phases.back() != name)) {
            phases << name;
        }
    });
    // A program that ignores SIGTERM need not sit through the real grace.
    watchdog.hangWatch().setKillGrace(1000ms);
    // No check runs within the test: the program is known from the start.
    watchdog.start();
    ASSERT_TRUE(watcher.refresh());
    ASSERT_TRUE(waitWithEvents([&] { return window->count("ping") >= 1; }, 10s));

    ::kill(pid, SIGSTOP);
    ASSERT_TRUE(waitWithEvents([&] { return entries("has been restarted.") > 0; }, 20s))
        << readFile(log());
    EXPECT_FALSE(window->process().running()) << "the hung program was not ended";
    EXPECT_EQ(entries(",Frozen is not responding."), 1);
    EXPECT_EQ(entries(",Frozen has been restarted."), 1);
    EXPECT_EQ(phases, (QStringList{QStringLiteral("not responding"), QStringLiteral("restarted")}));
    EXPECT_NE(watcher.rememberedProcess(2), pid);
}

TEST_F(HangWatchTest, WithRestartTheStoppedProgramIsEndedAndStartedAgain) {
    expectEndedAndRestarted(false);
}

TEST_F(HangWatchTest, AProgramThatIgnoresSigtermIsKilledAfterTheGrace) {
    expectEndedAndRestarted(true);
}

TEST_F(HangWatchTest, WithoutTheKeysNothingIsPinged) {
    writeSettings("hangaction=Restart\n");
    auto window = openWindow();
    engine::Watchdog watchdog(nullptr);
    watchdog.start();
    ASSERT_TRUE(watchdog.slotWatcher().refresh());
    watchdog.slotWatcher().tick(2);
    EXPECT_EQ(watchdog.hangWatch().roundInterval(), 0ms);
    watchdog.hangWatch().round();
    XClient client(server_.display());
    client.sendProbe(window->id());
    ASSERT_TRUE(window->waitFor("probe"));
    EXPECT_EQ(window->count("ping"), 0);
}

} // namespace
