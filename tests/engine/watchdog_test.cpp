// The watchdog without any window: settings read into their types, a killed
// program restarted, and the restart reported in order; restarts at once;
// giving up on a crash loop and waiting longer after quick deaths.

#include "core/launcher.h"
#include "core/process_probe.h"
#include "core/program_folder.h"
#include "engine/alarm_state.h"
#include "engine/internet_watch.h"
#include "engine/mailer.h"
#include "engine/slot_watcher.h"
#include "engine/switched_timer.h"
#include "engine/watchdog.h"
#include "tests/engine/wait_with_events.h"
#include "tests/support/smtp_test_server.h"
#include "tests/support/test_support.h"

#include <QCoreApplication>
#include <QStringList>
#include <functional>
#include <gtest/gtest.h>

#include <random>

#include <signal.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>

using namespace testing_support;
using namespace Qt::StringLiterals;

extern char **environ;

namespace {

/// Runs the current test again as PID 1 of a PID namespace of its own, where
/// the next PID can be chosen; its result is this test's.
void rerunInOwnPidNamespace() {
    const auto *test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string unshare = "unshare";
    std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    std::string filter =
        std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
    std::string flags[] = {"--pid", "--fork", "--mount-proc"};
    char *argv[] = {unshare.data(), flags[0].data(), flags[1].data(), flags[2].data(),
                    self.data(),    filter.data(),   nullptr};
    pid_t child = 0;
    ASSERT_EQ(::posix_spawnp(&child, "unshare", nullptr, nullptr, argv, environ), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

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
    /// A script that ends at once, or with `stay` present becomes `held` (a
    /// program whose path starts with the script's, so it counts as the
    /// slot's), and records each start in `starts`.
    std::filesystem::path crashingScript(const std::string &stem) {
        const auto script = folder_ / uniqueName(stem);
        held_ = program(script.filename().string() + "-held");
        writeFile(script, "#!/bin/sh\necho x >> '" + (folder_ / "starts").string() + "'\n[ -e '" +
                              (folder_ / "stay").string() + "' ] && exec '" + held_.string() +
                              "'\nexit 0\n");
        std::filesystem::permissions(script, std::filesystem::perms::owner_all);
        return script;
    }
    int starts() const { return occurrences(readFile(folder_ / "starts"), "x"); }
    TempDir folder_;
    std::vector<std::filesystem::path> programs_;
    std::filesystem::path held_;
};

TEST_F(WatchdogTest, SwitchesCountOnlyForTheirExactWordAndBadIntervalsAreNoIntervals) {
    writeSettings("[exe1]\nname=One\ntimer=1500\n[exe2]\ntimer=250.5\n[exe3]\ntimer=abc\n"
                  "[exe4]\ntimer=70000\n[CMDLINE]\nstatusexe1=On\nstatusexe2=on\n"
                  "[Alerts]\nvisual=On\naudio=ON\n[mail]\nnotification=On\n"
                  "[startupmode]\ninicontray=yes\n[Internet]\nMonitor=On\nalive= On \n"
                  "[exe5]\ngiveup= 3 \nbackoff=+5\n[exe6]\ngiveup=2.0\ngiveupminutes=0\n"
                  "backoff=99999999999\n[exe7]\nhangseconds= 30 \nhangaction=Restart\n"
                  "[exe8]\nhangseconds=0\nhangaction=restart\n");
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
    // Whole numbers only; the give-up window is 10 minutes unless given.
    EXPECT_EQ(s.perSlot[4].giveUpRestarts, 3);
    EXPECT_EQ(s.perSlot[4].giveUpMinutes, 10);
    EXPECT_EQ(s.perSlot[4].backoffSeconds, 0);
    EXPECT_EQ(s.perSlot[5].giveUpRestarts, 0);
    EXPECT_EQ(s.perSlot[5].giveUpMinutes, 0);
    EXPECT_EQ(s.perSlot[5].backoffSeconds, 0);
    // Seconds above 0 judge a hang; only the exact word restarts a hung program.
    EXPECT_EQ(s.perSlot[6].hangSeconds, 30);
    EXPECT_TRUE(s.perSlot[6].restartWhenHung);
    EXPECT_EQ(s.perSlot[7].hangSeconds, std::nullopt);
    EXPECT_FALSE(s.perSlot[7].restartWhenHung);
    EXPECT_EQ(s.perSlot[7].giveUpMinutes, 10);
}

// No window shows the panel, so its timer rests: whatever its round did must
// still happen when it matters, or a slot named in the tray is never checked.
TEST_F(WatchdogTest, WithThePanelHiddenNamedSlotsAreStillCheckedAfterEachChange) {
    const std::string named = "[exe3]\nname=Billing\ntimer=60000\n[Internet]\nMonitor=On\n";
    struct Case {
        const char *what;
        std::string before;
        std::function<void(engine::Watchdog &)> act;
    };
    const Case cases[] = {
        {"a settings read names the slot", "[exe3]\ntimer=60000\n",
         [](engine::Watchdog &w) { w.reload(); }},
        {"a pause ends", named,
         [](engine::Watchdog &w) {
             w.setPaused(true);
             w.setPaused(false);
         }},
        {"the checks were held for a moment", named,
         [](engine::Watchdog &w) {
             w.slotWatcher().setTimersEnabled(false);
             w.refreshPanelSoon();
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        writeSettings(c.before);
        engine::Watchdog watchdog(nullptr);
        watchdog.setShown(false);
        watchdog.start();
        writeSettings(named);
        c.act(watchdog);
        auto &watcher = watchdog.slotWatcher();
        EXPECT_TRUE(waitWithEvents([&] { return watcher.timer(3)->isActive(); },
                                   std::chrono::milliseconds(2000)));
        EXPECT_TRUE(watcher.checking(3));
        EXPECT_FALSE(watcher.timer(1)->isEnabled()) << "an unnamed slot stays unchecked";
        EXPECT_TRUE(watchdog.internetWatch().timer()->isEnabled());
        const auto *panel = watchdog.findChild<engine::SwitchedTimer *>(u"Timer1"_s);
        const auto *animation = watchdog.findChild<engine::SwitchedTimer *>(u"Timer10"_s);
        EXPECT_TRUE(panel->isEnabled() && animation->isEnabled());
        EXPECT_FALSE(panel->isActive() || animation->isActive()) << "hidden, they do not tick";
        const auto *trim = watchdog.findChild<QTimer *>(u"trimTimer"_s);
        EXPECT_TRUE(trim->isActive()) << "hidden, the working set is trimmed after a while";
        watchdog.setShown(true);
        EXPECT_FALSE(trim->isActive()) << "shown, it is not";
    }
}

// The order a restart is told in: the status line, then the command-line
// action, the visual alarm, the audio alarm, the popup, the log entry and the
// e-mail (here one that fails at once and says so in the log).
TEST_F(WatchdogTest, AKilledProgramIsRestartedWithoutAnyWindowAndToldInOrder) {
    const auto exe = program("orders");
    const auto pager = program("pager");
    const auto log = folder_ / "watch.log";
    writeSettings("[exe2]\nname=Orders\npath=" + exe.string() + "\n[cmdline]\ncmdexe2=" +
                  pager.string() + "\nstatusexe2=On\n[log]\npath=" + log.string() +
                  "\n[Alerts]\nvisual=On\naudio=On\nPop=On\n[mail]\nnotification=On\nport=none"
                  "\nserver=127.0.0.1\nSendto=ops@example.com\naddress=perstando@example.com\n");
    engine::Watchdog watchdog(nullptr);
    auto &watcher = watchdog.slotWatcher();
    const auto at = [&](const char *piece) { return readFile(log).find(piece); };
    const auto logged = [&](const char *piece) { return at(piece) != std::string::npos; };
    QStringList steps;
    QObject::connect(&watcher, &engine::SlotWatcher::stateChanged, &watchdog, [&](int slot) {
        if (slot == 2 && watcher.slotState(2).phase == engine::Phase::Restarted) {
            steps << QStringLiteral("restarted");
        }
    });
    QObject::connect(&watchdog.alarms(), &engine::AlarmState::visualAlarmRaised, &watchdog, [&] {
        steps << QStringLiteral("visual, command line logged %1, audio %2, restart logged %3")
                     .arg(logged("Command Line Action has been initiated!"))
                     .arg(watchdog.alarms().audioRaised())
                     .arg(logged(",Orders has been restarted."));
    });
    QObject::connect(&watchdog, &engine::Watchdog::popupRequested, &watchdog,
                     [&](int slot, const QString &name, bool failed) {
                         steps << QStringLiteral("popup %1 %2 failed %3, audio %4, logged %5")
                                      .arg(slot)
                                      .arg(name)
                                      .arg(failed)
                                      .arg(watchdog.alarms().audioRaised())
                                      .arg(logged(",Orders has been restarted."));
                     });
    watchdog.start();
    ASSERT_TRUE(watcher.refresh());
    EXPECT_FALSE(watcher.isWatched(1));
    EXPECT_EQ(watcher.name(1), QStringLiteral("Executable 1"));
    EXPECT_EQ(watcher.slotState(2).phase, engine::Phase::NotCheckedYet);

    watcher.tick(2);
    EXPECT_EQ(steps, (QStringList{u"restarted"_s,
                                  u"visual, command line logged 1, audio 0, restart logged 0"_s,
                                  u"popup 2 Orders failed 0, audio 1, logged 0"_s}));
    const auto restartEntry = at(",Orders has been restarted.");
    const auto mailEntry = at(" E-mail notification could not be sent: no valid port");
    ASSERT_NE(restartEntry, std::string::npos) << readFile(log);
    EXPECT_LT(at("Command Line Action has been initiated!"), restartEntry);
    EXPECT_NE(mailEntry, std::string::npos) << readFile(log);
    EXPECT_GT(mailEntry, restartEntry) << "the e-mail comes after the log entry";

    ASSERT_TRUE(waitUntil([&] { return pidsOf(exe).size() == 1; }));
    watcher.tick(2);
    EXPECT_EQ(watcher.slotState(2).phase, engine::Phase::Running);
    EXPECT_EQ(watcher.slotState(2).pid, pidsOf(exe).at(0));
    EXPECT_TRUE(watcher.status(2).startsWith(u"Last Checked: ")) << watcher.status(2).toStdString();
    const std::string text = readFile(log);
    EXPECT_NE(text.find(std::string(53, '*') + "\n"), std::string::npos) << text;
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
    EXPECT_EQ(occurrences(readFile(log), ",Desk has been restarted."), 1) << readFile(log);
    EXPECT_EQ(watcher.watchedProcess(2), pidsOf(exe).front()) << "the restart seeds the memory";
}

// A process that got the PID of the one before it is another process: its
// end is watched too. Run where the PID can be handed on: in a namespace of
// its own, the test is init, the parent that reaps ended programs.
TEST_F(WatchdogTest, RestartAtOnceWatchesAProcessThatGotTheOldPid) {
    if (::getpid() != 1) {
        rerunInOwnPidNamespace();
        return;
    }
    const auto exe = program("reused");
    writeSettings("[exe2]\nname=Reused\npath=" + exe.string() + "\ntimer=60000\nimmediate=On\n");
    const pid_t first = startApart(exe);
    engine::Watchdog watchdog(nullptr);
    auto &watcher = watchdog.slotWatcher();
    watchdog.start();
    ASSERT_TRUE(watcher.refresh());
    ASSERT_EQ(watcher.watchedProcess(2), first);

    // Gone and its PID taken by the next start (its launcher child takes the
    // one before) before the slot hears of the end.
    ::kill(first, SIGKILL);
    ASSERT_EQ(::waitpid(first, nullptr, 0), first);
    std::ofstream("/proc/sys/kernel/ns_last_pid") << first - 2;
    const pid_t second = startApart(exe);
    ASSERT_EQ(second, first) << "the PID was not handed on";
    ASSERT_TRUE(waitWithEvents([&] { return watcher.slotState(2).lastCheck.isValid(); }));
    ASSERT_EQ(watcher.rememberedProcess(2), second);

    ::kill(second, SIGKILL);
    ASSERT_EQ(::waitpid(second, nullptr, 0), second);
    EXPECT_TRUE(waitWithEvents([&] { return pidsOf(exe).size() == 1; }))
        << "the end of the process with the old PID was not watched";
}

// A launcher script that ends in exec turns into another binary in the same
// process: started once, it stays the slot's program until it ends.
TEST_F(WatchdogTest, AProgramThatExecsIntoAnotherBinaryIsStartedOnce) {
    const auto target = program("target");
    for (const int slot : {1, 2}) {
        SCOPED_TRACE(slot);
        std::filesystem::remove(folder_ / "starts");
        const auto script = folder_ / uniqueName("launch");
        writeFile(script, "#!/bin/sh\necho x >> '" + (folder_ / "starts").string() + "'\nexec '" +
                              target.string() + "'\n");
        std::filesystem::permissions(script, std::filesystem::perms::owner_all);
        writeSettings("[exe" + std::to_string(slot) + "]\nname=Launch\npath=" + script.string() +
                      "\ntimer=60000\n");
        engine::Watchdog watchdog(nullptr);
        auto &watcher = watchdog.slotWatcher();
        watchdog.start();
        ASSERT_TRUE(watcher.refresh());
        watcher.tick(slot);
        ASSERT_TRUE(waitUntil([&] { return pidsOf(target).size() == 1; }));
        for (int check = 0; check < 3; ++check) {
            watcher.tick(slot);
        }
        EXPECT_EQ(starts(), 1);
        EXPECT_TRUE(watcher.status(slot).startsWith(QStringLiteral("Last Checked: ")));

        killAll(target);
        ASSERT_TRUE(waitUntil([&] { return pidsOf(target).empty(); }));
        watcher.tick(slot);
        EXPECT_TRUE(waitUntil([&] { return pidsOf(target).size() == 1; }))
            << "an ended process still counted";
        EXPECT_EQ(starts(), 2);
        killAll(target);
        ASSERT_TRUE(waitUntil([&] { return pidsOf(target).empty(); }));
    }
}

// A program that dies right after each start waits out the first tenth of
// its interval (100 ms at least) after each start: never a tight loop.
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
    const int started = occurrences(readFile(starts), "x");
    EXPECT_GE(started, 3);
    EXPECT_LE(started, 3000 / 100 + 1);
}

// Restart at once watches every program from its start: one killed at any
// time after it was started, even before a check saw it running, is started
// again at once, not at the next tick.
TEST_F(WatchdogTest, RestartAtOnceTakesUpAnEndSoonAfterEachStart) {
    const auto exe = program("young");
    constexpr int IntervalMs = 2000;
    writeSettings("[exe2]\nname=Young\npath=" + exe.string() +
                  "\ntimer=" + std::to_string(IntervalMs) + "\nimmediate=On\n");
    engine::Watchdog watchdog(nullptr);
    watchdog.start();
    ASSERT_TRUE(watchdog.slotWatcher().refresh());
    ASSERT_TRUE(waitWithEvents([&] { return pidsOf(exe).size() == 1; }));
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> gapMs(IntervalMs / 10, IntervalMs * 3 / 2);
    for (int kill = 0; kill < 6; ++kill) {
        const pid_t pid = pidsOf(exe).front();
        const int gap = gapMs(random);
        SCOPED_TRACE("killed " + std::to_string(gap) + " ms after its start");
        waitWithEvents([] { return false; }, std::chrono::milliseconds(gap));
        ::kill(pid, SIGKILL);
        const auto killed = std::chrono::steady_clock::now();
        ASSERT_TRUE(waitWithEvents([&] {
            const auto pids = pidsOf(exe);
            return pids.size() == 1 && pids.front() != pid;
        }));
        // A tick comes anywhere within the interval: a fifth of it is no tick's luck.
        EXPECT_LT(std::chrono::steady_clock::now() - killed,
                  std::chrono::milliseconds(IntervalMs / 5));
    }
}

// Three restarts a minute allowed: the fourth death is given up once, with
// alarms and popup, and nothing starts it; acknowledging tries again, and a
// start by hand is found and watched again.
TEST_F(WatchdogTest, ACrashLoopIsGivenUpOnceAndWatchedAgainOnAcknowledgeOrAStartByHand) {
    const auto script = crashingScript("loop");
    const auto log = folder_ / "watch.log";
    writeSettings("[exe4]\nname=Loop\npath=" + script.string() +
                  "\ntimer=100\ngiveup=3\ngiveupminutes=1\n[log]\npath=" + log.string() +
                  "\n[Alerts]\nvisual=On\nPop=On\n");
    engine::Watchdog watchdog(nullptr);
    auto &watcher = watchdog.slotWatcher();
    QStringList popups;
    QObject::connect(&watchdog, &engine::Watchdog::giveUpPopupRequested, &watchdog,
                     [&](int slot, const QString &sentence) {
                         popups << QString::number(slot) + QLatin1Char(' ') + sentence;
                     });
    watchdog.start();
    ASSERT_TRUE(watcher.refresh());
    const std::string gaveUp = ",Loop ended 3 times in 1 minute and is no longer restarted.\n";
    const std::string again = ",Loop is watched again.\n";
    ASSERT_TRUE(waitWithEvents([&] { return occurrences(readFile(log), gaveUp) == 1; }))
        << readFile(log);
    waitWithEvents([] { return false; }, std::chrono::milliseconds(1000));
    std::string text = readFile(log);
    EXPECT_EQ(occurrences(text, ",Loop has been restarted."), 3) << text;
    EXPECT_EQ(occurrences(text, gaveUp), 1) << text;
    EXPECT_EQ(starts(), 3);
    EXPECT_TRUE(watcher.status(4).startsWith(QStringLiteral("Gave up: ")))
        << watcher.status(4).toStdString();
    EXPECT_EQ(popups, QStringList{QStringLiteral(
                          "4 Loop ended 3 times in 1 minute and is no longer restarted.")});
    EXPECT_TRUE(watchdog.alarms().visualRaised());

    watchdog.acknowledgeAlarms();
    ASSERT_TRUE(waitWithEvents([&] { return occurrences(readFile(log), gaveUp) == 2; }));
    text = readFile(log);
    EXPECT_EQ(occurrences(text, again), 1) << text;
    EXPECT_EQ(occurrences(text, ",Loop has been restarted."), 6) << text;
    EXPECT_LT(text.find(again), text.rfind(",Loop has been restarted.")) << text;

    startApart(held_);
    ASSERT_TRUE(waitWithEvents([&] { return occurrences(readFile(log), again) == 2; }))
        << readFile(log);
    killAll(held_);
    ASSERT_TRUE(waitWithEvents([&] { return occurrences(readFile(log), gaveUp) == 3; }))
        << "the count was not cleared: " << readFile(log);
    EXPECT_EQ(occurrences(readFile(log), ",Loop has been restarted."), 9) << readFile(log);

    // Settings read again unchanged keep it given up; a changed slot tries again.
    watchdog.reload();
    EXPECT_EQ(occurrences(readFile(log), again), 2);
    writeSettings("[exe4]\nname=Loop\npath=" + script.string() +
                  "\ntimer=100\ngiveup=2\n[log]\npath=" + log.string() + "\n");
    watchdog.reload();
    EXPECT_EQ(occurrences(readFile(log), again), 3);
    EXPECT_TRUE(waitWithEvents([&] {
        return occurrences(readFile(log),
                           ",Loop ended 2 times in 10 minutes and is no longer restarted.") == 1;
    })) << readFile(log);
}

// The give-up e-mail says the give-up sentence; the restart before sent none
// because the switch was off then.
TEST_F(WatchdogTest, GivingUpSendsOneMailSayingSo) {
    testing_support::SmtpTestServer server;
    ASSERT_TRUE(server.started());
    writeSettings("[exe2]\nname=Gone\npath=" + (folder_ / "missing").string() +
                  "\ntimer=60000\ngiveup=1\ngiveupminutes=5\n[mail]\nSendto=ops@example.com\n"
                  "address=perstando@example.com\nserver=127.0.0.1\nport=" +
                  std::to_string(server.port()) + "\n");
    engine::Watchdog watchdog(nullptr);
    watchdog.mailer().setPacing(100, 100);
    watchdog.start();
    watchdog.slotWatcher().tick(2);
    watchdog.setMailSwitch(QStringLiteral("On"));
    watchdog.slotWatcher().tick(2);
    ASSERT_TRUE(waitWithEvents([&] { return !server.messages().empty(); }));
    const auto mails = server.messages();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].body(),
              "Gone could not be started 1 time in 5 minutes and is no longer restarted.\r\n")
        << mails[0].body();
}

// The give-up sentence says "could not be started" only when every start in
// the window failed, and "minute" for one.
TEST_F(WatchdogTest, TheGiveUpSentenceSaysWhatHappenedAndCountsMinutes) {
    enum class Program { Missing, EndsAtOnce, MissingAtFirst };
    const struct {
        Program program;
        int restarts;
        int minutes;
        const char *sentence;
    } cases[] = {
        {Program::Missing, 2, 1, "Loop could not be started 2 times in 1 minute"},
        {Program::Missing, 1, 7, "Loop could not be started 1 time in 7 minutes"},
        {Program::EndsAtOnce, 2, 1, "Loop ended 2 times in 1 minute"},
        {Program::EndsAtOnce, 3, 2, "Loop ended 3 times in 2 minutes"},
        {Program::MissingAtFirst, 2, 1, "Loop ended 2 times in 1 minute"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.sentence);
        const auto script = folder_ / uniqueName("loop");
        const auto log = folder_ / uniqueName("log");
        const auto create = [&] {
            writeFile(script, "#!/bin/sh\nexit 0\n");
            std::filesystem::permissions(script, std::filesystem::perms::owner_all);
        };
        if (c.program == Program::EndsAtOnce) {
            create();
        }
        writeSettings("[exe2]\nname=Loop\npath=" + script.string() + "\ntimer=60000\ngiveup=" +
                      std::to_string(c.restarts) + "\ngiveupminutes=" + std::to_string(c.minutes) +
                      "\n[log]\npath=" + log.string() + "\n");
        engine::Watchdog watchdog(nullptr);
        auto &watcher = watchdog.slotWatcher();
        qint64 nowMs = 0;
        watcher.setClock([&] { return nowMs; });
        QString said;
        QObject::connect(&watcher, &engine::SlotWatcher::stateChanged, &watchdog, [&](int slot) {
            if (watcher.slotState(slot).phase == engine::Phase::GaveUp) {
                said = watcher.slotState(slot).reason;
            }
        });
        watchdog.start();
        for (int check = 0; check <= c.restarts && said.isEmpty(); ++check) {
            ASSERT_TRUE(waitUntil([&] { return !processes::isRunning(script.string()); }));
            watcher.tick(2);
            nowMs += 1000;
            if (c.program == Program::MissingAtFirst) {
                create();
            }
        }
        const QString expected =
            QString::fromLatin1(c.sentence) + QStringLiteral(" and is no longer restarted.");
        EXPECT_EQ(said.toStdString(), expected.toStdString());
        EXPECT_EQ(occurrences(readFile(log), "," + expected.toStdString() + "\n"), 1)
            << readFile(log);
    }
}

// With [mail] minutes, restarts within the span after a slot's e-mail are
// only counted; the next e-mail says how many, and the count starts over.
TEST_F(WatchdogTest, OneMailPerSpanCarriesTheRestartsHeldBack) {
    testing_support::SmtpTestServer server;
    ASSERT_TRUE(server.started());
    const auto log = folder_ / "watch.log";
    writeSettings("[exe2]\nname=Gone\npath=" + (folder_ / "missing").string() +
                  "\ntimer=60000\n[log]\npath=" + log.string() +
                  "\n[mail]\nminutes=1\nnotification=On\nSendto=ops@example.com\n"
                  "address=perstando@example.com\nserver=127.0.0.1\nport=" +
                  std::to_string(server.port()) + "\n");
    engine::Watchdog watchdog(nullptr);
    watchdog.mailer().setPacing(100, 100);
    auto &watcher = watchdog.slotWatcher();
    qint64 nowMs = 0;
    watcher.setClock([&] { return nowMs; });
    watchdog.start();
    const auto mailsArrived = [&](std::size_t n) {
        return waitWithEvents([&] { return server.messages().size() >= n; });
    };
    for (int i = 0; i < 5; ++i) {
        watcher.tick(2);
        nowMs += 1'000;
    }
    ASSERT_TRUE(mailsArrived(1));
    EXPECT_EQ(occurrences(readFile(log), ",Gone could not be restarted."), 5) << readFile(log);

    nowMs = 61'000;
    watcher.tick(2);
    nowMs += 1'000;
    watcher.tick(2);
    nowMs = 122'000;
    watcher.tick(2);
    ASSERT_TRUE(mailsArrived(3));
    const auto mails = server.messages();
    ASSERT_EQ(mails.size(), 3u);
    const auto held = [](const std::string &body) {
        const auto at = body.find("\r\n");
        return at == std::string::npos ? std::string() : body.substr(at + 2);
    };
    EXPECT_EQ(held(mails[0].body()), "") << mails[0].body();
    EXPECT_EQ(held(mails[1].body()).rfind("Gone was restarted 4 more times since ", 0), 0u)
        << mails[1].body();
    EXPECT_EQ(held(mails[2].body()).rfind("Gone was restarted 1 more times since ", 0), 0u)
        << mails[2].body();
    EXPECT_EQ(occurrences(readFile(log), ",Gone could not be restarted."), 8);
}

// On the engine's clock, a program that keeps dying within the minute is
// started 2, 4 and 8 intervals after the start before, then at the longest
// wait; once it stayed up a minute the waits start over.
TEST_F(WatchdogTest, WaitsDoubleAfterQuickDeathsUpToTheLongestAndStartOverAfterAMinuteUp) {
    const auto script = crashingScript("flaky");
    writeSettings("[exe5]\nname=Flaky\npath=" + script.string() + "\ntimer=60000\nbackoff=600\n");
    engine::Watchdog watchdog(nullptr);
    auto &watcher = watchdog.slotWatcher();
    qint64 nowMs = 0;
    watcher.setClock([&] { return nowMs; });
    int started = 0;
    QObject::connect(&watcher, &engine::SlotWatcher::stateChanged, &watchdog, [&](int slot) {
        started += watcher.slotState(slot).phase == engine::Phase::Restarted ? 1 : 0;
    });
    watchdog.start();
    const auto settled = [&] {
        return starts() == started && !processes::isRunning(script.string());
    };
    // The check at `seconds`, once the last start has run its course.
    const auto checkAt = [&](int seconds) {
        EXPECT_TRUE(std::filesystem::exists(folder_ / "stay") || waitUntil(settled));
        nowMs = qint64{seconds} * 1000;
        watcher.tick(5);
        return started;
    };
    EXPECT_EQ(checkAt(0), 1);
    EXPECT_EQ(checkAt(30), 1);
    EXPECT_TRUE(watcher.status(5).startsWith(QStringLiteral("Next restart: ")))
        << watcher.status(5).toStdString();
    EXPECT_EQ(checkAt(119), 1);
    EXPECT_EQ(checkAt(120), 2);
    EXPECT_EQ(checkAt(359), 2);
    EXPECT_EQ(checkAt(360), 3);
    EXPECT_EQ(checkAt(839), 3);
    EXPECT_EQ(checkAt(840), 4);
    EXPECT_EQ(checkAt(1439), 4) << "the longest wait is 600 s";
    EXPECT_EQ(checkAt(1440), 5);
    ASSERT_TRUE(waitUntil(settled));

    writeFile(folder_ / "stay", "");
    EXPECT_EQ(checkAt(2040), 6);
    ASSERT_TRUE(waitUntil([&] { return pidsOf(held_).size() == 1; }));
    EXPECT_EQ(checkAt(2100), 6);
    EXPECT_TRUE(watcher.status(5).startsWith(QStringLiteral("Last Checked: ")));
    killAll(held_);
    std::filesystem::remove(folder_ / "stay");
    ASSERT_TRUE(waitUntil([&] { return pidsOf(held_).empty(); }));
    EXPECT_EQ(checkAt(2110), 7) << "up a minute: started at once";
    EXPECT_EQ(checkAt(2229), 7);
    EXPECT_EQ(checkAt(2230), 8) << "the waits start over at two intervals";
}

} // namespace
