// The watchdog without any window: settings read into their types, a killed
// program restarted, and the restart reported in order.

#include "core/program_folder.h"
#include "engine/alarm_state.h"
#include "engine/slot_watcher.h"
#include "engine/watchdog.h"
#include "tests/support/test_support.h"

#include <QStringList>
#include <gtest/gtest.h>

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

} // namespace
