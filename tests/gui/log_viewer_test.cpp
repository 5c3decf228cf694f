#include "engine/slot_watcher.h"
#include "monitor/main_window.h"
#include "tests/gui/gui_test_support.h"
#include "tests/gui/new_main_window.h"
#include "ui/window_registry.h"
#include "viewers/log_viewer.h"

#include <QAction>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QSignalSpy>
#include <sys/resource.h>

using testing_support::WindowTest;

namespace {

class LogViewerTest : public WindowTest {
protected:
    void configureLog(const std::string &extra = {}) {
        writeSettings("[log]\npath=" + log_.string() + "\n" + extra);
    }
    MainWindow *startMain() {
        main_ = testing_support::newMainWindow();
        main_->show();
        return main_;
    }
    LogViewer *openViewer() {
        if (main_) {
            main_->runMenuItem(QStringLiteral("mnuview"));
            return ui::WindowRegistry::instance().find<LogViewer>();
        }
        return ui::WindowRegistry::instance().show<LogViewer>();
    }
    /// Closes the viewer and waits until it is gone, so that opening it again loads it anew.
    static void closeAndWait(LogViewer *form) {
        QPointer<LogViewer> closing = form;
        form->close();
        ASSERT_TRUE(waitFor([&] { return closing.isNull(); }));
    }
    static QString text1(LogViewer *form) {
        return form->findChild<QPlainTextEdit *>(QStringLiteral("Text1"))->toPlainText();
    }
    bool slotTimersEnabled(bool enabled) const {
        for (int n = 1; n <= settings::SlotCount; ++n) {
            if (main_->watchdog().slotWatcher().timer(n)->isEnabled() != enabled) {
                return false;
            }
        }
        return true;
    }
    /// Waits for the next tick of the main window's timer `name`, its handler run.
    bool nextTick(const char *name, int timeoutMs = 5000) const {
        QSignalSpy ticks(main_->findChild<engine::SwitchedTimer *>(QString::fromLatin1(name)),
                         &QTimer::timeout);
        return ticks.wait(timeoutMs);
    }

    std::filesystem::path log_ = folder_ / "watch.log";
    MainWindow *main_ = nullptr;
};

TEST_F(LogViewerTest, ShowsTheWholeLogAsUtf8AndDeleteRemovesIt) {
    configureLog();
    const std::string content = "1/2/2024 3:04:05 PM, Tenacor has been started.\n"
                                "***\nZ\xC3\xBCrich \xE2\x9C\x93\nlast line without end";
    testing_support::writeFile(log_, content);
    LogViewer *form = openViewer();
    ASSERT_NE(form, nullptr);
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Perstando Log File Viewer"));
    EXPECT_TRUE(messages_.shown.isEmpty());
    EXPECT_EQ(text1(form), QString::fromUtf8(content));

    auto *mnudelete = form->findChild<QAction *>(QStringLiteral("mnudelete"));
    ASSERT_NE(mnudelete, nullptr);
    EXPECT_EQ(mnudelete->text(), QStringLiteral("&Delete LogFile"));
    mnudelete->trigger();
    EXPECT_FALSE(std::filesystem::exists(log_));
    EXPECT_TRUE(text1(form).isEmpty());
    mnudelete->trigger(); // nothing left to delete: still no message
    EXPECT_TRUE(messages_.shown.isEmpty());

    closeAndWait(form);
    form = openViewer();
    EXPECT_EQ(messages_.texts(), QStringList{LogViewer::noLogMessage()});
    EXPECT_TRUE(text1(form).isEmpty());
}

TEST_F(LogViewerTest, OpenLogOnADesktopNotificationShowsTheViewer) {
    configureLog();
    testing_support::writeFile(log_, "a line\n");
    startMain();
    emit main_->watchdog().openLogRequested();
    LogViewer *form = ui::WindowRegistry::instance().find<LogViewer>();
    ASSERT_NE(form, nullptr);
    EXPECT_TRUE(form->isVisible());
    EXPECT_TRUE(text1(form).startsWith(QStringLiteral("a line\n"))) << text1(form).toStdString();
}

TEST_F(LogViewerTest, LogsThatCannotBeShownGiveTheMessageAndAnEmptyView) {
    const std::filesystem::path unreadable[] = {
        {},                  // no log configured
        folder_ / "missing", // never written
        folder_.path(),      // a folder
        folder_ / "huge.log",
    };
    testing_support::writeFile(folder_ / "huge.log", "");
    std::filesystem::resize_file(folder_ / "huge.log", LogViewer::MaxLogBytes + 1); // sparse
    for (const auto &path : unreadable) {
        messages_.shown.clear();
        writeSettings(path.empty() ? "" : "[log]\npath=" + path.string() + "\n");
        LogViewer *form = openViewer();
        EXPECT_EQ(messages_.texts(), QStringList{LogViewer::noLogMessage()}) << path;
        EXPECT_EQ(messages_.shown.value(0).buttons, QMessageBox::Ok);
        EXPECT_TRUE(text1(form).isEmpty()) << path;
        delete form;
    }
}

long peakResidentKiB() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

TEST_F(LogViewerTest, ALogOfOneHugeLineOpensWithItsTextAndModestMemory) {
    configureLog();
    // 19.9 MB without a line break, with a character of two UTF-16 units
    // where the shown line is broken.
    const std::string start = "1/15/2004 3:07:12 PM,";
    const std::string twoUnits = "\xF0\x9F\x98\x80";
    const std::string content = start +
                                std::string(LogViewer::LongestShownLine - start.size() - 1, 'V') +
                                twoUnits + std::string(19'900'000, 'V') + "\nlast\n";
    testing_support::writeFile(log_, content);
    const long before = peakResidentKiB();
    LogViewer *form = openViewer();
    form->show();
    ASSERT_TRUE(waitFor([&] { return !form->isLoading(); }, 30000));
    form->grab(); // laid out and painted
    EXPECT_LT(peakResidentKiB() - before, 500 * 1024) << "KiB more at the peak";
    EXPECT_TRUE(messages_.shown.isEmpty());

    // The file's text, its long line shown on lines of the longest length.
    const QStringList lines = text1(form).split(QLatin1Char('\n'));
    ASSERT_GT(lines.size(), 2);
    EXPECT_TRUE(lines[0].endsWith(QString::fromStdString(twoUnits))) << "a character was split";
    EXPECT_EQ(lines.mid(lines.size() - 2), (QStringList{QStringLiteral("last"), QString()}));
    for (const auto &line : lines) {
        ASSERT_LE(line.size(), LogViewer::LongestShownLine + 1);
    }
    EXPECT_EQ(lines.mid(0, lines.size() - 2).join(QString()),
              QString::fromStdString(content.substr(0, content.size() - 6)));
}

TEST_F(LogViewerTest, WithoutALogClosingStillEnablesTheEightSlotTimers) {
    startMain();
    LogViewer *form = openViewer();
    EXPECT_EQ(messages_.texts(), QStringList{LogViewer::noLogMessage()});
    EXPECT_TRUE(text1(form).isEmpty());
    EXPECT_TRUE(slotTimersEnabled(false));

    // Unconfigured slots are off after the status timer's pass; closing turns all on.
    ASSERT_TRUE(nextTick("Timer1"));
    form->close();
    EXPECT_TRUE(slotTimersEnabled(true));
}

TEST_F(LogViewerTest, AConfiguredSlotIsCheckedAgainWhileTheViewerIsOpen) {
    using namespace testing_support;
    const auto exe = copyExecutable("/bin/sleep", folder_.path(), uniqueName("orders"));
    Child running({exe.string(), "300"});
    configureLog("[exe1]\nname=Orders\ntimer=200\npath=" + exe.string() + "\n");
    testing_support::writeFile(log_, "");
    startMain();
    ASSERT_TRUE(main_->watchdog().slotWatcher().timer(1)->isActive());
    openViewer();
    EXPECT_FALSE(main_->watchdog().slotWatcher().timer(1)->isActive());
    main_->slotStatus(1)->clear();

    // The status timer's next pass switches the named slot back on, not the others.
    ASSERT_TRUE(nextTick("Timer1"));
    EXPECT_TRUE(main_->watchdog().slotWatcher().timer(1)->isEnabled());
    EXPECT_FALSE(main_->watchdog().slotWatcher().timer(2)->isEnabled());
    EXPECT_TRUE(waitFor(
        [&] { return main_->slotStatus(1)->text().startsWith(QStringLiteral("Last Checked: ")); }));
}

TEST_F(LogViewerTest, WhilePausedClosingTheViewerChecksNothing) {
    configureLog("[exe1]\nname=Orders\ntimer=200\n");
    testing_support::writeFile(log_, "");
    startMain();
    main_->watchdog().setPaused(true);
    ASSERT_FALSE(main_->findChild<engine::SwitchedTimer *>(QStringLiteral("Timer1"))->isEnabled());
    LogViewer *form = openViewer();
    form->close();
    // A pause stays a pause: the viewer lets go only what it held.
    EXPECT_TRUE(slotTimersEnabled(false));
    EXPECT_FALSE(main_->findChild<engine::SwitchedTimer *>(QStringLiteral("Timer1"))->isEnabled());
    main_->watchdog().setPaused(false);
    EXPECT_TRUE(waitFor([&] {
        return main_->findChild<engine::SwitchedTimer *>(QStringLiteral("Timer2"))->isEnabled();
    }));
}

} // namespace
