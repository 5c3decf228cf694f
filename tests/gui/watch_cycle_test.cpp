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
    QString status(int slot) const { return form_->slotStatus(slot)->text(); }
    MainWindow *form_ = nullptr;
    std::vector<std::filesystem::path> programs_;
};

const QRegularExpression failedText(
    QStringLiteral("^Restart failed: \\d{1,2}:\\d{2}:\\d{2} [AP]M ,\\d{1,2}/\\d{1,2}/\\d{4}$"));

TEST_F(WatchCycleTest, AStartThatFailsIsShownInTheLineTheAlarmAndThePopup) {
    start("[exe3]\nname=Ghost\npath=" + (folder_ / "no-such-program").string() +
          "\n[Alerts]\nvisual=On\nPop=On\n");
    form_->watchdog().slotWatcher().tick(3);
    EXPECT_TRUE(failedText.match(status(3)).hasMatch()) << status(3).toStdString();
    // The user still needs to know: the alarms run, and the popup says what happened.
    EXPECT_FALSE(form_->findChild<QLabel *>(QStringLiteral("Gif89a1"))->isHidden());
    const auto *popup = ui::WindowRegistry::instance().find<SlotPopup<3>>();
    ASSERT_NE(popup, nullptr);
    const QString popupText = popup->findChild<QLabel *>(QStringLiteral("Label1"))->text();
    static const QRegularExpression failedPopup(
        QStringLiteral("^Ghost could not be restarted at \\d{1,2}/\\d{1,2}/\\d{4}, "
                       "\\d{1,2}:\\d{2}:\\d{2} [AP]M$"));
    EXPECT_TRUE(failedPopup.match(popupText).hasMatch()) << popupText.toStdString();
}

TEST_F(WatchCycleTest, CommandLineIndicatorShowsOnlyForExactlyOn) {
    start("[cmdline]\nstatusexe5=On\nstatusexe6=on\n");
    ASSERT_TRUE(waitFor([&] {
        return !form_->findChild<QLabel *>(QStringLiteral("Picture22"))->isHidden() &&
               form_->findChild<QLabel *>(QStringLiteral("Picture23"))->isHidden();
    }));
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
        waitUntil([&] { return occurrences(readFile(pager.string() + ".starts"), "args=") == 1; }));
    EXPECT_FALSE(form_->findChild<QLabel *>(QStringLiteral("Gif89a1"))->isHidden());
    EXPECT_TRUE(form_->findChild<engine::SwitchedTimer *>(QStringLiteral("Timer12"))->isEnabled());
    EXPECT_NE(ui::WindowRegistry::instance().find<SlotPopup<2>>(), nullptr);
    EXPECT_FALSE(std::filesystem::exists(folder_ / "nowhere"));
    EXPECT_TRUE(messages_.shown.isEmpty());
}

} // namespace
