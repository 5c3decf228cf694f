#include "engine/slot_watcher.h"
#include "engine/watchdog.h"
#include "monitor/main_window.h"
#include "monitor/restart_popup.h"
#include "tests/gui/gui_test_support.h"
#include "tests/gui/new_main_window.h"
#include "ui/window_registry.h"

#include <QLabel>
#include <QLineEdit>
#include <QRegularExpression>

using namespace testing_support;

namespace {

class WatchCycleTest : public WindowTest {
protected:
    void TearDown() override {
        for (const auto &exe : programs_) {
            killAll(exe);
        }
        WindowTest::TearDown();
    }
    std::filesystem::path program(const std::string &stem) {
        programs_.push_back(copyExecutable(WATCHED_PROGRAM, folder_.path(), uniqueName(stem)));
        return programs_.back();
    }
    MainWindow *start(const std::string &settings) {
        writeSettings(settings + "[log]\npath=" + log().string() + "\n");
        form_ = testing_support::newMainWindow();
        form_->show();
        return form_;
    }
    std::filesystem::path log() const { return folder_ / "watch.log"; }
    std::string logText() const { return readFile(log()); }
    static int count(const std::string &text, const std::string &needle) {
        int n = 0;
        for (auto p = text.find(needle); p != std::string::npos; p = text.find(needle, p + 1)) {
            ++n;
        }
        return n;
    }
    QString status(int slot) const { return form_->slotStatus(slot)->text(); }
    MainWindow *form_ = nullptr;
    std::vector<std::filesystem::path> programs_;
};

const QRegularExpression restartedText(
    QStringLiteral("^Restarted: \\d{1,2}:\\d{2}:\\d{2} [AP]M ,\\d{1,2}/\\d{1,2}/\\d{4}$"));
const QRegularExpression checkedText(
    QStringLiteral("^Last Checked: \\d{1,2}:\\d{2}:\\d{2} [AP]M ,\\d{1,2}/\\d{1,2}/\\d{4}$"));
const QRegularExpression failedText(
    QStringLiteral("^Restart failed: \\d{1,2}:\\d{2}:\\d{2} [AP]M ,\\d{1,2}/\\d{1,2}/\\d{4}$"));

TEST_F(WatchCycleTest, MissingProgramIsStartedInItsFolderThenSeenRunning) {
    const auto exe = program("orders");
    std::filesystem::create_directory(folder_ / "work");
    start("[exe2]\nname=Orders\npath=" + exe.string() +
          "\n[workingexe2]\npath2=" + (folder_ / "work").string() + "\n");
    form_->watchdog().slotWatcher().tick(2);
    EXPECT_TRUE(restartedText.match(status(2)).hasMatch()) << status(2).toStdString();
    ASSERT_EQ(pidsOf(exe).size(), 1u);
    EXPECT_EQ(cwdOf(pidsOf(exe)[0]), folder_ / "work");
    EXPECT_EQ(count(logText(), std::string(53, '*') + "\n"), 2);
    EXPECT_EQ(count(logText(), ",Orders has been restarted.\n"), 1);

    form_->watchdog().slotWatcher().tick(2);
    EXPECT_TRUE(checkedText.match(status(2)).hasMatch()) << status(2).toStdString();
    EXPECT_EQ(pidsOf(exe).size(), 1u);
    EXPECT_EQ(count(logText(), "has been restarted."), 1);
}

TEST_F(WatchCycleTest, SlotOneFindsItsProgramByWholeNameOnly) {
    const auto exe = program("ledger");
    start("[exe1]\nname=Ledger\npath=" + exe.filename().string() +
          "\n[workingexe1]\npath1=" + folder_.path().string() + "\n");
    form_->watchdog().slotWatcher().tick(1);
    ASSERT_EQ(pidsOf(exe).size(), 1u);
    EXPECT_EQ(count(logText(), std::string(54, '*') + "\n"), 2);
    form_->watchdog().slotWatcher().tick(1);
    EXPECT_TRUE(checkedText.match(status(1)).hasMatch());
    EXPECT_EQ(pidsOf(exe).size(), 1u);
}

TEST_F(WatchCycleTest, ProgramThatCannotStartIsReportedAsFailedOnEveryTick) {
    start("[exe3]\nname=Ghost\npath=" + (folder_ / "no-such-program").string() +
          "\n[exe1]\nname=Empty\n[Alerts]\nvisual=On\nPop=On\n");
    for (int i = 0; i < 3; ++i) {
        form_->watchdog().slotWatcher().tick(3);
    }
    EXPECT_TRUE(failedText.match(status(3)).hasMatch()) << status(3).toStdString();
    EXPECT_EQ(count(logText(), ",Ghost could not be restarted.\n"), 3);
    EXPECT_EQ(count(logText(), "has been restarted"), 0);
    // The user still needs to know: the alarms run, and the popup says what happened.
    EXPECT_FALSE(form_->findChild<QLabel *>(QStringLiteral("Gif89a1"))->isHidden());
    const auto *popup = ui::WindowRegistry::instance().find<SlotPopup<3>>();
    ASSERT_NE(popup, nullptr);
    const QString popupText = popup->findChild<QLabel *>(QStringLiteral("Label1"))->text();
    static const QRegularExpression failedPopup(
        QStringLiteral("^Ghost could not be restarted at \\d{1,2}/\\d{1,2}/\\d{4}, "
                       "\\d{1,2}:\\d{2}:\\d{2} [AP]M$"));
    EXPECT_TRUE(failedPopup.match(popupText).hasMatch()) << popupText.toStdString();

    form_->watchdog().slotWatcher().tick(1); // slot 1 with an empty program fails too
    EXPECT_TRUE(failedText.match(status(1)).hasMatch());
    EXPECT_EQ(count(logText(), ",Empty could not be restarted.\n"), 1);
}

TEST_F(WatchCycleTest, NamedSlotWithEmptyProgramFindsEveryProcess) {
    start("[exe2]\nname=Anything\npath=\n");
    form_->watchdog().slotWatcher().tick(2);
    EXPECT_TRUE(checkedText.match(status(2)).hasMatch());
    EXPECT_EQ(count(logText(), "restarted"), 0);
}

TEST_F(WatchCycleTest, UnnamedSlotsAreNeverChecked) {
    const auto exe = program("unnamed");
    start("[exe3]\nname=Executable 3\npath=" + exe.string() +
          "\ntimer=50\n[exe4]\npath=" + exe.string() + "\ntimer=50\n");
    ASSERT_TRUE(waitFor([&] { return form_->slotName(4) == QStringLiteral("Executable 4"); }));
    waitFor([] { return false; }, 300);
    EXPECT_FALSE(form_->slotTimer(3)->isEnabled());
    EXPECT_FALSE(form_->slotTimer(4)->isEnabled());
    EXPECT_TRUE(pidsOf(exe).empty());
    EXPECT_TRUE(status(3).isEmpty());
}

TEST_F(WatchCycleTest, CommandLineActionRunsWithItsArgumentsBeforeTheRestartEntry) {
    const auto exe = program("service");
    const auto pager = program("pager");
    start("[exe5]\nname=Service\npath=" + exe.string() + "\n[cmdline]\ncmdexe5=" + pager.string() +
          " --exit 555 -q\nstatusexe5=On\ncmdexe6=" + pager.string() +
          " --exit six\nstatusexe6=on\n[exe6]\nname=Other\npath=" + (folder_ / "gone").string() +
          "\n");
    form_->watchdog().slotWatcher().tick(5);
    const auto starts = pager.string() + ".starts";
    ASSERT_TRUE(waitUntil([&] { return count(readFile(starts), "args=--exit|555|-q\n") == 1; }));
    const auto text = logText();
    const auto action = text.find("Command Line Action has been initiated!");
    ASSERT_NE(action, std::string::npos) << text;
    EXPECT_LT(action, text.find(",Service has been restarted."));
    const auto lineStart = text.rfind('\n', action) + 1;
    const auto rowStart = text.rfind('\n', lineStart - 2) + 1;
    EXPECT_EQ(text.substr(rowStart, lineStart - rowStart), std::string(54, '*') + "\n");

    // "on" is not "On": nothing runs and the indicator stays hidden.
    form_->watchdog().slotWatcher().tick(6);
    waitFor([] { return false; }, 300);
    EXPECT_EQ(count(readFile(starts), "six"), 0);
    EXPECT_EQ(count(logText(), "Command Line Action"), 1);
    ASSERT_TRUE(waitFor([&] {
        return !form_->findChild<QLabel *>(QStringLiteral("Picture22"))->isHidden() &&
               form_->findChild<QLabel *>(QStringLiteral("Picture23"))->isHidden();
    }));
}

TEST_F(WatchCycleTest, CommandLineThatCannotStartIsLoggedAsSuch) {
    const auto exe = program("svc");
    start("[exe2]\nname=Svc\npath=" + exe.string() +
          "\n[cmdline]\ncmdexe2=" + (folder_ / "missing pager").string() + " 1\nstatusexe2=On\n");
    form_->watchdog().slotWatcher().tick(2);
    EXPECT_EQ(count(logText(), "Command Line Action could not be initiated!\n"), 1);
    EXPECT_EQ(count(logText(), ",Svc has been restarted."), 1);
}

TEST_F(WatchCycleTest, LogThatCannotBeWrittenSilencesNoOtherStepOfTheRestart) {
    const auto exe = program("quiet");
    const auto pager = program("pager");
    writeSettings("[exe2]\nname=Quiet\npath=" + exe.string() +
                  "\n[Alerts]\nvisual=On\naudio=On\nPop=On\n[cmdline]\ncmdexe2=" + pager.string() +
                  " --exit 2\nstatusexe2=On\n[log]\npath=" +
                  (folder_ / "nowhere" / "watch.log").string() + "\n");
    form_ = testing_support::newMainWindow();
    form_->show();
    form_->watchdog().slotWatcher().tick(2);
    EXPECT_EQ(pidsOf(exe).size(), 1u);
    EXPECT_TRUE(
        waitUntil([&] { return count(readFile(pager.string() + ".starts"), "args=") == 1; }));
    EXPECT_FALSE(form_->findChild<QLabel *>(QStringLiteral("Gif89a1"))->isHidden());
    EXPECT_TRUE(form_->findChild<engine::FormTimer *>(QStringLiteral("Timer12"))->isEnabled());
    EXPECT_NE(ui::WindowRegistry::instance().find<SlotPopup<2>>(), nullptr);
    EXPECT_FALSE(std::filesystem::exists(folder_ / "nowhere"));
    EXPECT_TRUE(messages_.shown.isEmpty());
}

TEST_F(WatchCycleTest, TimersDriveTheChecks) {
    const auto exe = program("timed");
    start("[exe7]\nname=Timed\npath=" + exe.string() + "\ntimer=100\n");
    ASSERT_TRUE(waitFor([&] { return pidsOf(exe).size() == 1; }));
    ASSERT_TRUE(waitFor([&] { return checkedText.match(status(7)).hasMatch(); }));
}

} // namespace
