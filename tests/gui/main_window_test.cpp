#include "engine/alarm_state.h"
#include "engine/slot_watcher.h"
#include "engine/watchdog.h"
#include "tests/gui/main_window_fixture.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

namespace {

using MainWindowTest = testing_support::Form1Test;

TEST_F(MainWindowTest, NoSettingsFileGivesANormalIdleWindow) {
    start();
    EXPECT_TRUE(form_->isVisible());
    EXPECT_EQ(form_->windowTitle(), QStringLiteral("Tenacor")) << "the pause state, once loaded";
    for (int n = 1; n <= settings::SlotCount; ++n) {
        EXPECT_EQ(form_->watchdog().slotWatcher().timer(n)->interval(), 0) << n;
        EXPECT_FALSE(form_->watchdog().slotWatcher().timer(n)->isActive()) << n;
    }
    EXPECT_FALSE(timer("icontray")->isEnabled());
    EXPECT_TRUE(timer("Timer13")->isEnabled());
    EXPECT_FALSE(std::filesystem::exists(settingsFile()));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder_.path()), {}), 0);
}

TEST_F(MainWindowTest, EveryTimerStartsWithItsIntervalAndSwitch) {
    start();
    const std::tuple<const char *, int, bool> expected[] = {
        {"Timer1", 500, true},    {"Timer10", 500, true},  {"Timer11", 30000, false},
        {"Timer12", 5000, false}, {"Timer14", 500, true},  {"flashtmr", 1000, false},
        {"icontray", 100, false}, {"Timer13", 4000, true},
    };
    for (const auto &[name, interval, enabled] : expected) {
        ASSERT_NE(timer(name), nullptr) << name;
        EXPECT_EQ(timer(name)->interval(), interval) << name;
        EXPECT_EQ(timer(name)->isEnabled(), enabled) << name;
    }
}

TEST_F(MainWindowTest, IntervalsComeFromTheFileAndBadTextKeepsThePreviousOne) {
    writeSettings("[exe1]\nname=One\ntimer=1500\n[exe3]\ntimer=250.5\n[exe4]\ntimer=251.5\n"
                  "[exe5]\ntimer=70000\n");
    start();
    EXPECT_EQ(form_->watchdog().slotWatcher().timer(1)->interval(), 1500);
    EXPECT_EQ(form_->watchdog().slotWatcher().timer(3)->interval(),
              250); // ties go to the even neighbour
    EXPECT_EQ(form_->watchdog().slotWatcher().timer(4)->interval(), 252);
    EXPECT_EQ(form_->watchdog().slotWatcher().timer(5)->interval(), 0);

    writeSettings("[exe1]\nname=One\ntimer=abc\n[exe2]\ntimer=\n");
    form_->activate();
    EXPECT_EQ(form_->watchdog().slotWatcher().timer(1)->interval(), 1500);
    EXPECT_EQ(form_->watchdog().slotWatcher().timer(2)->interval(), 0);
}

TEST_F(MainWindowTest, OnlyExactlyYesStartsInTheTray) {
    writeSettings("[StartupMode]\nInIconTray=yes\n");
    start();
    EXPECT_FALSE(timer("icontray")->isEnabled());
    delete form_;

    writeSettings("[StartupMode]\nInIconTray=Yes\n");
    start();
    EXPECT_TRUE(timer("icontray")->isEnabled());
}

TEST_F(MainWindowTest, ActivateReReadsEverythingAndClearsThePause) {
    start();
    control<QCheckBox>("Check1")->setChecked(true);
    writeSettings("[exe2]\nname=Orders\ntimer=2000\n[workingexe2]\npath2=/srv/orders\n"
                  "[cmdline]\ncmdexe2=/usr/bin/pager 5\nstatusexe2=On\n[mail]\n"
                  "notification=On\nport=25\n[Alerts]\nPop=On\n[Internet]\nMonitor=On\n"
                  "[log]\npath=/tmp/x.log\n");
    form_->activate();
    EXPECT_FALSE(control<QCheckBox>("Check1")->isChecked());
    EXPECT_EQ(form_->slotName(2), QStringLiteral("Orders"));
    EXPECT_EQ(form_->watchdog().slotWatcher().timer(2)->interval(), 2000);
    const auto &held = form_->watchdog().settings();
    EXPECT_EQ(held.perSlot[1].workingDirectory, QStringLiteral("/srv/orders"));
    EXPECT_EQ(held.perSlot[1].commandLine, QStringLiteral("/usr/bin/pager 5"));
    EXPECT_TRUE(held.perSlot[1].commandLineOn);
    EXPECT_TRUE(held.mail.on);
    EXPECT_EQ(held.mail.port, QStringLiteral("25"));
    EXPECT_TRUE(held.popupAlarm);
    EXPECT_TRUE(held.watchInternet);
    EXPECT_EQ(held.logPath, QStringLiteral("/tmp/x.log"));
}

TEST_F(MainWindowTest, StartLineHasTheGeneralDateAndTime) {
    const auto log = folder_ / "watch.log";
    writeSettings("[log]\npath=" + log.string() + "\n");
    start();
    const auto text = QString::fromStdString(testing_support::readFile(log));
    static const QRegularExpression line(QStringLiteral(
        "^\\d{1,2}/\\d{1,2}/\\d{4} \\d{1,2}:\\d{2}:\\d{2} [AP]M, Tenacor has been started\\.\\n$"));
    EXPECT_TRUE(line.match(text).hasMatch()) << text.toStdString();
}

TEST_F(MainWindowTest, LogInAMissingFolderLosesTheLineQuietly) {
    writeSettings("[log]\npath=" + (folder_ / "missing" / "watch.log").string() + "\n");
    start();
    EXPECT_TRUE(form_->isVisible());
    EXPECT_FALSE(std::filesystem::exists(folder_ / "missing"));
}

TEST_F(MainWindowTest, StatusPanelMarksUnconfiguredSlotsAndRunsNamedOnes) {
    writeSettings("[exe2]\nname=Executable 3\ntimer=60000\n[exe3]\nname=Executable 3\n"
                  "timer=60000\n[cmdline]\nstatusexe4=on\nstatusexe5=On\n");
    start();
    form_->slotStatus(3)->setText(QStringLiteral("stale"));
    ASSERT_TRUE(waitForTicks("Timer1", 1)); // each round clears an unnamed slot's line
    EXPECT_EQ(form_->slotName(1), QStringLiteral("Executable 1"));
    EXPECT_FALSE(form_->watchdog().slotWatcher().timer(1)->isEnabled());
    EXPECT_TRUE(form_->watchdog().slotWatcher().timer(2)->isEnabled()); // slot 2 named "Executable
                                                                        // 3" is named
    EXPECT_TRUE(form_->watchdog().slotWatcher().timer(2)->isActive());
    EXPECT_FALSE(form_->watchdog().slotWatcher().timer(3)->isEnabled());
    EXPECT_TRUE(form_->slotStatus(3)->text().isEmpty());
    EXPECT_TRUE(control<QLabel>("Picture21")->isHidden());
    EXPECT_FALSE(control<QLabel>("Picture22")->isHidden());
}

// A status line shows its text from the state on, and as wide as the longest, the whole of it.
TEST_F(MainWindowTest, AStatusLineShowsItsWholeTextFromTheStateOn) {
    writeSettings("[exe2]\nname=Gone\npath=/nonexistent/perstando-gone\ntimer=60000\n");
    start();
    form_->watchdog().slotWatcher().tick(2);
    auto *status = control<QLineEdit>("Text2");
    status->grab(); // a line edit scrolls to its cursor when it is painted
    const QRect inside = status->contentsRect() - status->textMargins();
    const int y = inside.center().y();
    const QString visible = status->text().mid(status->cursorPositionAt({inside.left() + 1, y}));
    EXPECT_TRUE(visible.startsWith(QStringLiteral("Restart failed: "))) << visible.toStdString();
    EXPECT_EQ(status->cursorPositionAt({inside.right() - 1, y}), status->text().size())
        << "the end is cut off";
}

// Hidden or minimized, the panel, the animation and the clock rest with their
// switches kept; seen again, the status lines and the panel are current before
// any tick.
TEST_F(MainWindowTest, OutOfSightThePanelRestsAndIsCurrentTheMomentItIsSeenAgain) {
    const std::pair<const char *, void (*)(MainWindow *)> ways[] = {
        {"hidden", [](MainWindow *w) { w->hide(); }},
        {"minimized", [](MainWindow *w) { w->showMinimized(); }},
    };
    writeSettings("[exe2]\nname=Gone\npath=/nonexistent/perstando-gone\ntimer=60000\n");
    for (const auto &[how, putAway] : ways) {
        SCOPED_TRACE(how);
        start();
        const auto resting = [&](bool rest) {
            for (const char *name : {"Timer1", "Timer10", "ClockTimer"}) {
                const auto *t = control<QTimer>(name);
                ASSERT_NE(t, nullptr) << name;
                EXPECT_EQ(t->isActive(), !rest) << name;
            }
            EXPECT_TRUE(timer("Timer1")->isEnabled() && timer("Timer10")->isEnabled());
        };
        resting(false);
        auto *status = control<QLineEdit>("Text2");
        putAway(form_);
        resting(true);

        form_->watchdog().slotWatcher().tick(2);
        const QString now = form_->watchdog().slotWatcher().status(2);
        ASSERT_TRUE(now.startsWith(QStringLiteral("Restart failed: "))) << now.toStdString();
        QSignalSpy rounds(&form_->watchdog(), &engine::Watchdog::panelRefreshed);
        form_->showNormal();
        EXPECT_EQ(status->text(), now);
        EXPECT_EQ(rounds.count(), 1);
        resting(false);
        delete form_;
        form_ = nullptr;
    }
}

TEST_F(MainWindowTest, EnablingARunningSlotTimerKeepsItsCountdown) {
    writeSettings("[exe1]\nname=One\ntimer=1000\n");
    start();
    auto *t = form_->watchdog().slotWatcher().timer(1);
    ASSERT_TRUE(waitFor([&] { return t->isActive(); }));
    // Timer1 re-enables it every 500 ms: a countdown started afresh would never run out.
    QSignalSpy fired(t, &QTimer::timeout);
    EXPECT_TRUE(waitFor([&] { return fired.count() > 0; }, 2000));
}

TEST_F(MainWindowTest, HourglassCyclesThroughNineFrames) {
    start();
    EXPECT_EQ(form_->activityFrame(), 0);
    ASSERT_TRUE(waitFor([&] { return form_->activityFrame() == 1; }));
    EXPECT_FALSE(control<QLabel>("Picture9")->isHidden());
    EXPECT_TRUE(control<QLabel>("Picture1")->isHidden());
    int highest = 0;
    waitFor(
        [&] {
            highest = std::max(highest, form_->activityFrame());
            return false;
        },
        5200);
    EXPECT_EQ(highest, 9);
}

TEST_F(MainWindowTest, InternetWatchFollowsItsSwitchWithinHalfASecond) {
    writeSettings("[Internet]\nMonitor=On\n");
    start();
    ASSERT_TRUE(waitFor(
        [&] { return timer("Timer11")->isEnabled() && !control<QLabel>("Picture10")->isHidden(); },
        600));
    auto *watch = timer("Timer11");
    ASSERT_TRUE(waitFor([&] { return watch->isActive() && watch->remainingTime() < 29000; }, 2000))
        << "switched on, its countdown runs on";

    writeSettings("[Internet]\nMonitor=on\n");
    form_->activate();
    ASSERT_TRUE(waitFor([&] { return control<QLabel>("Picture10")->isHidden(); }, 600));
    // Switched off, Timer11 never reaches a tick.
    int lowest = 30000;
    waitFor(
        [&] {
            if (watch->isActive()) {
                lowest = std::min(lowest, watch->remainingTime());
            }
            return false;
        },
        1500);
    EXPECT_GT(lowest, 29000);
}

} // namespace
