#include "core/ini_file.h"
#include "dialogs/log_file_dialog.h"
#include "engine/alarm_state.h"
#include "engine/settings.h"
#include "engine/watchdog.h"
#include "monitor/main_window.h"
#include "tests/gui/gui_test_support.h"
#include "tests/gui/new_main_window.h"
#include "ui/window_registry.h"

#include <QAction>
#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <sys/stat.h>

using testing_support::WindowTest;

namespace {

class LogFileDialogTest : public WindowTest {
protected:
    LogFileDialog *open() {
        form_ = ui::WindowRegistry::instance().show<LogFileDialog>();
        return form_;
    }
    QLineEdit *text2() const { return form_->findChild<QLineEdit *>(QStringLiteral("Text2")); }
    void click(const char *name) const {
        QTest::mouseClick(form_->findChild<QPushButton *>(QString::fromLatin1(name)),
                          Qt::LeftButton);
    }
    bool unloaded() {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return form_.isNull();
    }
    std::string storedPath() const { return ini::readValue("log", "path", settingsFile()); }
    QPointer<LogFileDialog> form_;
};

TEST_F(LogFileDialogTest, SaveStoresThePathAsTypedEvenEmptyAndUnloads) {
    writeSettings("[log]\npath=/var/log/old.log\n");
    open();
    EXPECT_EQ(form_->windowTitle(), QStringLiteral("Log File Setup"));
    EXPECT_EQ(text2()->text(), QStringLiteral("/var/log/old.log"));
    text2()->clear();
    click("Command2");
    EXPECT_EQ(readSettings(), "[log]\npath=\n");
    EXPECT_TRUE(unloaded());

    open();
    text2()->setText(QStringLiteral("no/such folder/watch.log"));
    click("Command2");
    EXPECT_EQ(storedPath(), "no/such folder/watch.log");
    EXPECT_FALSE(std::filesystem::exists(folder_ / "no")); // only stored, never created
}

TEST_F(LogFileDialogTest, BrowseFillsThePathAndACancelKeepsTheTyping) {
    open();
    picker_.results = {{ui::PickResult::Status::Chosen, QStringLiteral("/data/watch.log1")},
                       {ui::PickResult::Status::Cancelled, {}},
                       {ui::PickResult::Status::Failed, {}}};
    click("Command1");
    EXPECT_EQ(text2()->text(), QStringLiteral("/data/watch.log1"));
    ASSERT_EQ(picker_.requests.size(), 1);
    EXPECT_EQ(picker_.requests[0].filters, (QStringList{QStringLiteral("Log Files (*.log*)"),
                                                        QStringLiteral("All Files (*.*)")}));

    text2()->setText(QStringLiteral("/typed/but/unsaved.log"));
    click("Command1");
    click("Command1");
    EXPECT_EQ(text2()->text(), QStringLiteral("/typed/but/unsaved.log"));
    EXPECT_TRUE(messages_.shown.isEmpty());
    EXPECT_FALSE(std::filesystem::exists(settingsFile()));
}

/// Answers the real file dialog when it comes up: types `name` and presses
/// Enter. Whatever is still modal after that (the dialog refusing the name, or
/// its warning) is cancelled.
class RealDialogAnswer {
public:
    explicit RealDialogAnswer(const QString &name) {
        QObject::connect(&poll_, &QTimer::timeout, [this, name] {
            QWidget *modal = QApplication::activeModalWidget();
            if (!modal) {
                return;
            }
            auto *dialog = qobject_cast<QFileDialog *>(modal);
            if (typed_ || !dialog) {
                refused_ = true;
                modal->close();
                return;
            }
            auto *edit = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
            ASSERT_NE(edit, nullptr);
            edit->setText(name);
            typed_ = true;
            // Queued: a warning the dialog opens must not block this timer.
            QMetaObject::invokeMethod(
                edit, [edit] { QTest::keyClick(edit, Qt::Key_Return); }, Qt::QueuedConnection);
        });
        poll_.start(20);
    }
    bool refused() const { return refused_; }

private:
    QTimer poll_;
    bool typed_ = false;
    bool refused_ = false;
};

TEST_F(LogFileDialogTest, BrowseTakesTheNameOfALogNotYetThere) {
    ui::setFilePicker(nullptr); // the real dialog
    open();
    const QString fresh = QString::fromStdString((folder_ / "fresh.log").string());
    {
        RealDialogAnswer answer(fresh);
        click("Command1");
        EXPECT_FALSE(answer.refused());
    }
    EXPECT_EQ(text2()->text(), fresh);
    EXPECT_FALSE(std::filesystem::exists(folder_ / "fresh.log")); // created by its first entry

    // A folder that is not there either cannot hold the log.
    {
        RealDialogAnswer answer(QString::fromStdString((folder_ / "no" / "x.log").string()));
        click("Command1");
    }
    EXPECT_EQ(text2()->text(), fresh);
}

TEST_F(LogFileDialogTest, ExitUnloadsWithoutStoring) {
    writeSettings("[log]\npath=/keep.log\n");
    open();
    text2()->setText(QStringLiteral("/discard.log"));
    form_->findChild<QAction *>(QStringLiteral("mnuexit"))->trigger();
    EXPECT_TRUE(unloaded());
    EXPECT_EQ(storedPath(), "/keep.log");
}

TEST_F(LogFileDialogTest, TheMainWindowLogsToTheSavedPathAfterItsNextActivation) {
    auto *main = testing_support::newMainWindow();
    main->show();
    main->runMenuItem(QStringLiteral("mnulog"));
    form_ = ui::WindowRegistry::instance().find<LogFileDialog>();
    ASSERT_NE(form_, nullptr);
    const auto log = folder_ / "watch.log";
    text2()->setText(QString::fromStdString(log.string()));
    click("Command2");
    ASSERT_TRUE(unloaded());
    EXPECT_EQ(main->watchdog().settings().logPath,
              QString()); // not before the main window is active again

    main->activate();
    EXPECT_EQ(main->watchdog().settings().logPath, QString::fromStdString(log.string()));
    ASSERT_TRUE(main->watchdog().log().append({QStringLiteral("restart entry")}));
    EXPECT_EQ(testing_support::readFile(log), "restart entry\n");
}

TEST_F(LogFileDialogTest, ReadOnlySettingsFileIsReportedAndTheDialogStays) {
    writeSettings("[log]\npath=/old.log\n");
    ::chmod(settingsFile().c_str(), 0444);
    open();
    text2()->setText(QStringLiteral("/new.log"));
    click("Command2");
    ASSERT_EQ(messages_.texts(),
              QStringList{settings::saveFailedMessage(QStringLiteral("the file is read-only"))});
    EXPECT_FALSE(unloaded());
    EXPECT_EQ(text2()->text(), QStringLiteral("/new.log"));
    EXPECT_EQ(storedPath(), "/old.log");
}

} // namespace
