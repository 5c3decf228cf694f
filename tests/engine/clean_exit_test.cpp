// A program Perstando started that exits with status 0 on a slot set to
// cleanexit=Stop was closed on purpose: it is not started again until it is
// found running or the settings are applied. Every other end is restarted,
// also a clean one that Perstando's own stop asked for.

#include "core/child_reaper.h"
#include "core/launcher.h"
#include "engine/alarm_state.h"
#include "engine/slot_watcher.h"
#include "engine/status_report.h"
#include "tests/engine/program_folder_test.h"
#include "tests/engine/wait_with_events.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>

using namespace testing_support;

namespace {

class CleanExitTest : public ReapingFolderTest {
protected:
    /// Starts recorded by the program so far.
    int starts(const std::filesystem::path &exe) const {
        return occurrences(readFile(exe.string() + ".starts"), "\n");
    }
    /// Ends the program's one process with `signal`, its handler in place,
    /// and waits until it has ended.
    static void end(const std::filesystem::path &exe, int signal) {
        ASSERT_TRUE(waitUntil([&] { return pidsOf(exe).size() == 1; }));
        const pid_t pid = pidsOf(exe).front();
        ::kill(pid, signal);
        ASSERT_TRUE(waitUntil([&] { return hasEnded(pid); }));
    }
};

TEST_F(CleanExitTest, OnlyACleanExitOfWhatPerstandoStartedClosesTheSlot) {
    struct Case {
        const char *what;
        const char *mode;
        bool stop;      ///< cleanexit=Stop
        bool immediate; ///< restart at once: the end itself asks for the check
        bool closes;
        const char *cause;
    };
    const Case cases[] = {
        {"status 0, Stop", "exit 0", true, false, true, "exited with status 0"},
        {"status 0, Stop, at once", "exit 0", true, true, true, "exited with status 0"},
        {"status 3, Stop", "exit 3", true, false, false, "exited with status 3"},
        {"status 0, no key", "exit 0", false, false, false, "exited with status 0"},
    };
    const std::string closedLine = "Orders was closed and is not restarted.";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(log()); // each case reads its own entries
        const auto exe = program("closing", c.mode);
        auto &watcher =
            start("[exe2]\nname=Orders\npath=" + exe.string() +
                  "\ntimer=" + (c.immediate ? "1000\nimmediate=On" : "60000") +
                  (c.stop ? "\ncleanexit=Stop" : "") + "\n[Alerts]\nvisual=On\nPop=On\n");
        int popups = 0;
        QObject::connect(watchdog_.get(), &engine::Watchdog::popupRequested, watchdog_.get(),
                         [&] { ++popups; });
        const auto phase = [&] { return watcher.slotState(2).phase; };
        watcher.tick(2);
        ASSERT_TRUE(waitUntil([&] { return starts(exe) == 1; }));
        watchdog_->acknowledgeAlarms();
        popups = 0;
        if (c.immediate) {
            // Seen running by the timer: the end is no longer a young death.
            ASSERT_TRUE(waitWithEvents([&] { return phase() == engine::Phase::Running; }));
        }
        end(exe, SIGUSR1);
        if (c.immediate) {
            ASSERT_TRUE(waitWithEvents([&] { return phase() == engine::Phase::Closed; }));
        } else {
            watcher.tick(2);
        }
        EXPECT_EQ(watcher.slotState(2).lastExit.toStdString(), c.cause);
        if (!c.closes) {
            EXPECT_EQ(phase(), engine::Phase::Restarted);
            EXPECT_TRUE(waitUntil([&] { return starts(exe) == 2; }));
            EXPECT_EQ(occurrences(logText(), closedLine), 0);
            TearDown();
            SetUp();
            continue;
        }

        // Closed: once told, and left so by later checks.
        for (int check = 0; check < 3; ++check) {
            if (check > 0) {
                watcher.tick(2);
            }
            EXPECT_EQ(phase(), engine::Phase::Closed);
            EXPECT_TRUE(watcher.status(2).startsWith(QStringLiteral("Closed: ")))
                << watcher.status(2).toStdString();
        }
        EXPECT_EQ(starts(exe), 1);
        EXPECT_TRUE(pidsOf(exe).empty());
        EXPECT_EQ(occurrences(logText(), closedLine), 1) << logText();
        EXPECT_EQ(popups, 0);
        EXPECT_FALSE(watchdog_->alarms().visualRaised());
        EXPECT_TRUE(engine::statusText(*watchdog_).contains(QStringLiteral(": closed ")))
            << engine::statusText(*watchdog_).toStdString();
        EXPECT_TRUE(engine::statusJson(*watchdog_).contains("\"state\": \"closed\""));

        // The window's activation applies the settings: watched again.
        watchdog_->reload();
        watcher.tick(2);
        EXPECT_EQ(phase(), engine::Phase::Restarted);
        ASSERT_TRUE(waitUntil([&] { return starts(exe) == 2; }));

        // Closed again, then started by the user: watched as usual, and
        // that one, not started by Perstando, is restarted whatever its end.
        end(exe, SIGUSR1);
        watcher.tick(2);
        EXPECT_EQ(phase(), engine::Phase::Closed);
        ASSERT_TRUE(launcher::start(exe.string(), {}, {}).ok());
        ASSERT_TRUE(waitUntil([&] { return starts(exe) == 3; }));
        watcher.tick(2);
        EXPECT_EQ(phase(), engine::Phase::Running);
        end(exe, SIGUSR1);
        watcher.tick(2);
        EXPECT_EQ(phase(), engine::Phase::Restarted);
        EXPECT_TRUE(waitUntil([&] { return starts(exe) == 4; }));
        EXPECT_EQ(occurrences(logText(), closedLine), 2) << logText();
        TearDown();
        SetUp();
    }
}

TEST_F(CleanExitTest, AnEndPerstandoAskedForIsARestartWhateverItsStatus) {
    // The program exits with status 0 on SIGTERM, as most daemons do.
    struct Case {
        const char *why;
        const char *keys;
    };
    const Case cases[] = {
        {"a failing probe", "health=/bin/sh -c \"exit 1\"\nhealthseconds=1\nhealthfailures=1\n"
                            "healthgrace=0\nhealthaction=Restart\n"},
        {"over its limit", "maxmemory=1\nlimitchecks=1\nlimitaction=Restart\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.why);
        std::filesystem::remove(log());
        const auto exe = program("stopped", "exit 0");
        auto &watcher = start("[exe2]\nname=Orders\npath=" + exe.string() +
                              "\ntimer=1000\nimmediate=On\ncleanexit=Stop\n" + c.keys);
        ASSERT_TRUE(watcher.refresh());
        ASSERT_TRUE(waitWithEvents([&] { return starts(exe) >= 2; }, std::chrono::seconds(20)))
            << logText();
        EXPECT_NE(watcher.slotState(2).phase, engine::Phase::Closed);
        EXPECT_EQ(occurrences(logText(), "was closed"), 0) << logText();
        TearDown();
        SetUp();
    }
}

} // namespace
