#include "dialogs/restart_options_dialog.h"
#include "engine/settings.h"
#include "tests/gui/dialog_test_support.h"
#include "tests/gui/main_window_fixture.h"
#include "ui/window_registry.h"

#include <QAction>
#include <QHeaderView>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <array>
#include <sys/inotify.h>
#include <unistd.h>

using testing_support::Form1Test;
using testing_support::WindowTest;

namespace {

const QString AtOnce = QStringLiteral("Restart at once");

/// The window's table, its rows by slot and its columns by header.
class RestartOptionsWindow {
public:
    explicit RestartOptionsWindow(RestartOptionsDialog *form) : form_(form) {}

    QTableWidget *table() const {
        return form_->findChild<QTableWidget *>(QStringLiteral("Table1"));
    }
    int column(const QString &header) const {
        for (int c = 0; c < table()->columnCount(); ++c) {
            if (table()->horizontalHeaderItem(c)->text() == header) {
                return c;
            }
        }
        return -1;
    }
    QString name(int slot) const { return table()->item(slot - 1, 0)->text(); }
    bool atOnce(int slot) const {
        return table()->item(slot - 1, column(AtOnce))->checkState() == Qt::Checked;
    }
    std::array<bool, settings::SlotCount> allAtOnce() const {
        std::array<bool, settings::SlotCount> shown{};
        for (int n = 1; n <= settings::SlotCount; ++n) {
            shown[static_cast<std::size_t>(n - 1)] = atOnce(n);
        }
        return shown;
    }
    /// Toggles the check box as a person does from the keyboard.
    void toggleAtOnce(int slot) const {
        table()->setCurrentCell(slot - 1, column(AtOnce));
        QTest::keyClick(table(), Qt::Key_Space);
    }
    void click(const char *button) const {
        QTest::mouseClick(form_->findChild<QPushButton *>(QString::fromLatin1(button)),
                          Qt::LeftButton);
    }
    bool gone() const {
        return QTest::qWaitFor([&] { return form_.isNull(); }, 5000);
    }
    /// Still loaded once every pending close has been carried out.
    bool stillOpen() const {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return !form_.isNull() && form_->isVisible();
    }
    RestartOptionsDialog *form() const { return form_; }

private:
    QPointer<RestartOptionsDialog> form_;
};

/// Counts the files renamed into a folder: each atomic replace is one.
class ReplaceCounter {
public:
    explicit ReplaceCounter(const std::filesystem::path &folder)
        : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        // Watching the temporary files' creation too keeps the kernel from
        // merging back-to-back renames of one name into a single event.
        inotify_add_watch(fd_, folder.c_str(), IN_CREATE | IN_MOVED_TO);
    }
    ~ReplaceCounter() { ::close(fd_); }
    ReplaceCounter(const ReplaceCounter &) = delete;
    ReplaceCounter &operator=(const ReplaceCounter &) = delete;

    int replacesOf(const std::string &name) const {
        alignas(inotify_event) char buffer[4096];
        int count = 0;
        for (ssize_t got; (got = ::read(fd_, buffer, sizeof buffer)) > 0;) {
            for (ssize_t at = 0; at < got;) {
                const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
                if ((event->mask & IN_MOVED_TO) != 0 && event->len > 0 && name == event->name) {
                    ++count;
                }
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        return count;
    }

private:
    int fd_;
};

class RestartOptionsTest : public WindowTest {
protected:
    RestartOptionsWindow open() const {
        return RestartOptionsWindow(ui::WindowRegistry::instance().show<RestartOptionsDialog>());
    }
};

TEST_F(RestartOptionsTest, ShowsEachSlotsNameAndStoredSwitchAndCancelWritesNothing) {
    const std::string before = "[exe1]\nname=Orders\nimmediate=On\n[exe2]\nimmediate=on\n"
                               "[exe3]\nname=Billing\nimmediate=Yes\n[exe4]\nimmediate=Off\n"
                               "[exe8]\nname=Last one\nimmediate=On\n";
    writeSettings(before);
    const auto window = open();
    EXPECT_EQ(window.form()->objectName(), QStringLiteral("RestartOptions"));
    EXPECT_EQ(window.form()->windowTitle(), QStringLiteral("Restart Options"));
    EXPECT_EQ(window.form()->findChild<QLabel *>(QStringLiteral("Label1"))->text(),
              QStringLiteral("Restart at once: start the program again the moment its process "
                             "ends, instead of at the next check."));
    EXPECT_FALSE(window.form()->findChild<QLabel *>(QStringLiteral("Label2"))->isVisible());
    ASSERT_EQ(window.table()->rowCount(), settings::SlotCount);
    ASSERT_GT(window.column(AtOnce), 0);

    EXPECT_EQ(window.name(1), QStringLiteral("Orders"));
    EXPECT_EQ(window.name(2), QStringLiteral("Executable 2"));
    EXPECT_EQ(window.name(3), QStringLiteral("Billing"));
    EXPECT_EQ(window.name(7), QStringLiteral("Executable 7"));
    EXPECT_EQ(window.name(8), QStringLiteral("Last one"));
    // Only exactly "On" is on: "on", "Yes", "Off" and a missing key are off.
    EXPECT_EQ(window.allAtOnce(), (std::array<bool, settings::SlotCount>{
                                      true, false, false, false, false, false, false, true}));

    window.toggleAtOnce(2);
    window.toggleAtOnce(8);
    EXPECT_TRUE(window.atOnce(2));
    EXPECT_FALSE(window.atOnce(8));
    window.click("cmdCancel");
    EXPECT_TRUE(window.gone());
    EXPECT_EQ(readSettings(), before);
    EXPECT_TRUE(messages_.shown.isEmpty());
}

TEST_F(RestartOptionsTest, SaveWritesEverySlotInOneReplaceAndKeepsTheRestOfTheFile) {
    writeSettings("; watched on the shop floor\n[exe1]\nname=Orders\npath=orders\n"
                  "immediate=On\n[exe3]\nimmediate=on\n[log]\npath=/tmp/watch.log\n");
    const auto window = open();
    window.toggleAtOnce(1);
    window.toggleAtOnce(3);
    window.toggleAtOnce(6);
    const ReplaceCounter replaces(folder_.path());
    window.click("cmdSave");
    EXPECT_TRUE(messages_.shown.isEmpty()) << messages_.texts().join(u'\n').toStdString();
    EXPECT_TRUE(window.gone());
    EXPECT_EQ(replaces.replacesOf("settings.ini"), 1);
    EXPECT_EQ(readSettings(),
              "; watched on the shop floor\n[exe1]\nname=Orders\npath=orders\nimmediate=Off\n"
              "[exe3]\nimmediate=On\n[log]\npath=/tmp/watch.log\n[exe2]\nimmediate=Off\n"
              "[exe4]\nimmediate=Off\n[exe5]\nimmediate=Off\n[exe6]\nimmediate=On\n"
              "[exe7]\nimmediate=Off\n[exe8]\nimmediate=Off\n");

    // What the watching reads back is what was ticked.
    const auto snapshot = settings::Snapshot::read();
    for (int n = 1; n <= settings::SlotCount; ++n) {
        EXPECT_EQ(snapshot.perSlot[static_cast<std::size_t>(n - 1)].immediate, n == 3 || n == 6)
            << n;
    }
}

TEST_F(RestartOptionsTest, AFailedSaveIsToldAndTheWindowKeepsTheChoices) {
    const std::string before = "[exe2]\nimmediate=On\n";
    writeSettings(before);
    testing_support::makeReadOnly(settingsFile());
    const auto window = open();
    window.toggleAtOnce(2);
    window.toggleAtOnce(5);
    window.click("cmdSave");
    ASSERT_EQ(messages_.shown.size(), 1);
    EXPECT_EQ(messages_.shown[0].text,
              settings::saveFailedMessage(QStringLiteral("the file is read-only")));
    EXPECT_EQ(messages_.shown[0].icon, QMessageBox::Critical);
    ASSERT_TRUE(window.stillOpen());
    EXPECT_FALSE(window.atOnce(2));
    EXPECT_TRUE(window.atOnce(5));
    EXPECT_EQ(readSettings(), before);
}

TEST_F(RestartOptionsTest, AnUnreadableFileIsSaidInTheWindowAndNotSavedOver) {
    std::filesystem::create_directory(settingsFile());
    const auto window = open();
    auto *problem = window.form()->findChild<QLabel *>(QStringLiteral("Label2"));
    EXPECT_TRUE(problem->isVisible());
    EXPECT_EQ(problem->text(), QStringLiteral("The settings file %1 cannot be read: Is a directory")
                                   .arg(settings::pathText()));
    window.toggleAtOnce(1);
    window.click("cmdSave");
    ASSERT_EQ(messages_.shown.size(), 1);
    EXPECT_TRUE(messages_.shown[0].text.contains(settings::pathText()));
    ASSERT_TRUE(window.stillOpen());
    EXPECT_TRUE(window.atOnce(1));
    EXPECT_TRUE(std::filesystem::is_directory(settingsFile()));
}

using RestartOptionsMenuTest = Form1Test;

TEST_F(RestartOptionsMenuTest, TheSetupMenuOpensItAndASavedSwitchReachesTheWatching) {
    writeSettings("[exe4]\nname=Orders\n");
    start();
    control<QAction>("mnurestartoptions")->trigger();
    auto *form = ui::WindowRegistry::instance().find<RestartOptionsDialog>();
    ASSERT_NE(form, nullptr);
    EXPECT_TRUE(form->isVisible());
    const RestartOptionsWindow window(form);
    EXPECT_EQ(window.name(4), QStringLiteral("Orders"));
    window.toggleAtOnce(4);
    window.click("cmdSave");
    ASSERT_TRUE(window.gone());

    // The main window takes it when it is active again, as every other setting.
    form_->activate();
    EXPECT_TRUE(form_->watchdog().settings().perSlot[3].immediate);
}

} // namespace
