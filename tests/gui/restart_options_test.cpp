#include "dialogs/restart_options_dialog.h"
#include "engine/health_probe.h"
#include "engine/settings.h"
#include "tests/gui/dialog_test_support.h"
#include "tests/gui/main_window_fixture.h"
#include "ui/window_registry.h"

#include <QAction>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTableWidget>
#include <QTest>
#include <array>
#include <functional>
#include <sys/inotify.h>
#include <unistd.h>

using testing_support::Form1Test;
using testing_support::WindowTest;

namespace {

const QString AtOnce = QStringLiteral("Restart at once");
const QString CleanExit = QStringLiteral("Stop on a clean exit");
const QString GiveUp = QStringLiteral("Give up after");
const QString Within = QStringLiteral("within");
const QString LongestWait = QStringLiteral("Longest wait (s)");
const QString HangSeconds = QStringLiteral("Not responding after (s)");
const QString ThenRestart = QStringLiteral("Then restart");
const QString Probe = QStringLiteral("Health probe");
const QString ProbeEvery = QStringLiteral("every (s)");
const QString Failures = QStringLiteral("failures");
const QString RestartUnhealthy = QStringLiteral("Restart when unhealthy");
const QString MaxMemory = QStringLiteral("Max memory (MiB)");
const QString MaxCpu = QStringLiteral("Max CPU (%)");
const QString RestartOverLimit = QStringLiteral("Restart when over a limit");

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
    QString cell(int slot, const QString &header) const {
        return table()->item(slot - 1, column(header))->text();
    }
    bool ticked(int slot, const QString &header) const {
        return table()->item(slot - 1, column(header))->checkState() == Qt::Checked;
    }
    bool atOnce(int slot) const { return ticked(slot, AtOnce); }
    std::array<bool, settings::SlotCount> allAtOnce() const {
        std::array<bool, settings::SlotCount> shown{};
        for (int n = 1; n <= settings::SlotCount; ++n) {
            shown[static_cast<std::size_t>(n - 1)] = atOnce(n);
        }
        return shown;
    }
    /// Toggles the check box as a person does from the keyboard.
    void toggle(int slot, const QString &header) const {
        table()->setCurrentCell(slot - 1, column(header));
        QTest::keyClick(table(), Qt::Key_Space);
    }
    void toggleAtOnce(int slot) const { toggle(slot, AtOnce); }
    /// Types over a cell as a person does: F2 opens its editor, Enter hands the
    /// text to the cell (or not, with `enter` false). False when no editor opens.
    bool type(int slot, const QString &header, const QString &text, bool enter = true) const {
        table()->setCurrentCell(slot - 1, column(header));
        QTest::keyClick(table(), Qt::Key_F2);
        QLineEdit *editor = nullptr;
        for (auto *open : table()->viewport()->findChildren<QLineEdit *>()) {
            if (open->isVisible()) {
                editor = open;
            }
        }
        if (editor == nullptr) {
            return false;
        }
        editor->setText(text);
        if (!enter) {
            return true;
        }
        QTest::keyClick(editor, Qt::Key_Return);
        // The view takes the text from the editor once the key has been handled.
        const QPointer<QLineEdit> closing(editor);
        return QTest::qWaitFor([&] { return closing.isNull() || !closing->isVisible(); }, 5000);
    }
    QLineEdit *mailMinutes() const {
        return form_->findChild<QLineEdit *>(QStringLiteral("txtMailMinutes"));
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
    /// The file after `saving`, which is to close the window with one replace
    /// of the file and no message.
    std::string savedInOneReplace(const RestartOptionsWindow &window,
                                  const std::function<void()> &saving) {
        const ReplaceCounter replaces(folder_.path());
        saving();
        EXPECT_TRUE(messages_.shown.isEmpty()) << messages_.texts().join(u'\n').toStdString();
        EXPECT_TRUE(window.gone());
        EXPECT_EQ(replaces.replacesOf("settings.ini"), 1);
        return readSettings();
    }
};

TEST_F(RestartOptionsTest, ShowsEachSlotsNameAndStoredSwitchAndCancelWritesNothing) {
    const std::string before = "[exe1]\nname=Orders\nimmediate=On\ncleanexit=Stop\ngiveup=3\n"
                               "giveupminutes=007\n"
                               "backoff=+5\nhangseconds=30\nhangaction=Restart\n"
                               "health=http://127.0.0.1:8080/health\nhealthseconds=15\n"
                               "healthfailures=2\nhealthaction=Restart\nmaxmemory=1024\n"
                               "maxcpu=80\nlimitaction=Restart\n"
                               "[exe2]\nimmediate=on\ncleanexit=stop\nhangaction=restart\n"
                               "limitaction=Kill\n"
                               "[exe3]\nname=Billing\nimmediate=Yes\n[exe4]\nimmediate=Off\n"
                               "[exe8]\nname=Last one\nimmediate=On\n[mail]\nminutes=15\n";
    writeSettings(before);
    const auto window = open();
    EXPECT_EQ(window.form()->objectName(), QStringLiteral("RestartOptions"));
    EXPECT_EQ(window.form()->windowTitle(), QStringLiteral("Restart Options"));
    EXPECT_FALSE(window.form()->findChild<QLabel *>(QStringLiteral("Label2"))->isVisible());
    ASSERT_EQ(window.table()->rowCount(), settings::SlotCount);
    const QStringList headers{QStringLiteral("Application"),
                              AtOnce,
                              CleanExit,
                              GiveUp,
                              Within,
                              LongestWait,
                              HangSeconds,
                              ThenRestart,
                              Probe,
                              ProbeEvery,
                              Failures,
                              RestartUnhealthy,
                              MaxMemory,
                              MaxCpu,
                              RestartOverLimit};
    ASSERT_EQ(window.table()->columnCount(), headers.size());
    // Each column is explained by a line of Label1 and by its header's tool tip.
    const QStringList lines =
        window.form()->findChild<QLabel *>(QStringLiteral("Label1"))->text().split(u'\n');
    ASSERT_EQ(lines.size(), headers.size() - 1);
    EXPECT_EQ(lines[0], QStringLiteral("Restart at once: start the program again the moment its "
                                       "process ends, instead of at the next check."));
    for (int c = 1; c < headers.size(); ++c) {
        const auto *header = window.table()->horizontalHeaderItem(c);
        EXPECT_EQ(header->text(), headers[c]);
        EXPECT_TRUE(lines[c - 1].startsWith(headers[c] + QStringLiteral(": "))) << c;
        EXPECT_EQ(header->toolTip(), lines[c - 1]);
    }

    // With every column in view (see the fit test), the window still fits a small screen.
    const QRect screen = window.form()->screen()->availableGeometry();
    EXPECT_LE(window.form()->frameGeometry().width(), screen.width());
    EXPECT_LE(window.form()->frameGeometry().height(), screen.height());

    // Numbers as stored, whether or not they count; "Then restart" only for
    // exactly "Restart".
    EXPECT_EQ(window.cell(1, GiveUp), QStringLiteral("3"));
    EXPECT_EQ(window.cell(1, Within), QStringLiteral("007"));
    EXPECT_EQ(window.cell(1, LongestWait), QStringLiteral("+5"));
    EXPECT_EQ(window.cell(1, HangSeconds), QStringLiteral("30"));
    EXPECT_EQ(window.cell(2, GiveUp), QString());
    EXPECT_TRUE(window.ticked(1, ThenRestart));
    EXPECT_FALSE(window.ticked(2, ThenRestart));
    EXPECT_FALSE(window.ticked(3, ThenRestart));
    EXPECT_TRUE(window.ticked(1, CleanExit));
    EXPECT_FALSE(window.ticked(2, CleanExit));
    EXPECT_EQ(window.cell(1, Probe), QStringLiteral("http://127.0.0.1:8080/health"));
    EXPECT_EQ(window.cell(1, ProbeEvery), QStringLiteral("15"));
    EXPECT_EQ(window.cell(1, Failures), QStringLiteral("2"));
    EXPECT_EQ(window.cell(1, MaxMemory), QStringLiteral("1024"));
    EXPECT_EQ(window.cell(1, MaxCpu), QStringLiteral("80"));
    EXPECT_TRUE(window.ticked(1, RestartUnhealthy));
    EXPECT_TRUE(window.ticked(1, RestartOverLimit));
    EXPECT_FALSE(window.ticked(2, RestartOverLimit));
    EXPECT_EQ(window.mailMinutes()->text(), QStringLiteral("15"));

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
    ASSERT_TRUE(window.type(3, GiveUp, QStringLiteral("4")));
    ASSERT_TRUE(window.type(3, Probe, QStringLiteral("tcp://127.0.0.1:9000")));
    window.toggle(3, RestartOverLimit);
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
    EXPECT_EQ(savedInOneReplace(window, [&] { window.click("cmdSave"); }),
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

TEST_F(RestartOptionsTest, SaveWritesTheTypedNumbersAndTheFieldInTheSameReplace) {
    writeSettings("[exe1]\nname=Orders\ngiveup=3\nhangseconds=\"30\"\n"
                  "health=\"file:/run/orders/beat\"\n[exe2]\nname=Editor\n"
                  "[mail]\nSendto=ops@example.com\n");
    const auto window = open();
    EXPECT_FALSE(window.type(1, QStringLiteral("Application"), QStringLiteral("Renamed")));
    ASSERT_TRUE(window.type(1, GiveUp, QStringLiteral("4")));
    ASSERT_TRUE(window.type(2, Within, QStringLiteral(" 15 ")));
    ASSERT_TRUE(window.type(3, LongestWait, QStringLiteral("120")));
    window.toggle(4, ThenRestart);
    ASSERT_TRUE(window.type(5, HangSeconds, QStringLiteral("0")));
    ASSERT_TRUE(window.type(6, GiveUp, QStringLiteral("2147483647")));
    window.toggle(6, CleanExit);
    ASSERT_TRUE(window.type(7, LongestWait, QStringLiteral("007")));
    ASSERT_TRUE(window.type(2, Probe, QStringLiteral(" tcp://127.0.0.1:9000 ")));
    ASSERT_TRUE(window.type(2, ProbeEvery, QStringLiteral("20")));
    window.toggle(2, RestartUnhealthy);
    ASSERT_TRUE(window.type(3, Probe, QStringLiteral("/usr/bin/check \"two words\" --quiet")));
    ASSERT_TRUE(window.type(3, Failures, QStringLiteral("5")));
    ASSERT_TRUE(window.type(5, MaxMemory, QStringLiteral("512")));
    ASSERT_TRUE(window.type(5, MaxCpu, QStringLiteral("90")));
    window.toggle(5, RestartOverLimit);
    window.mailMinutes()->setText(QStringLiteral("30"));
    // Still in its editor when Save is pressed by its mnemonic, which takes no focus.
    ASSERT_TRUE(window.type(8, GiveUp, QStringLiteral("7"), false));
    const std::string saved = savedInOneReplace(window, [&] {
        window.form()->findChild<QPushButton *>(QStringLiteral("cmdSave"))->click();
    });
    // Untouched entries stay as the file has them, quoted or absent.
    EXPECT_EQ(saved,
              "[exe1]\nname=Orders\ngiveup=4\nhangseconds=\"30\"\n"
              "health=\"file:/run/orders/beat\"\nimmediate=Off\n"
              "[exe2]\nname=Editor\nimmediate=Off\ngiveupminutes=15\n"
              "health=tcp://127.0.0.1:9000\nhealthseconds=20\nhealthaction=Restart\n"
              "[mail]\nSendto=ops@example.com\nminutes=30\n"
              "[exe3]\nimmediate=Off\nbackoff=120\nhealth=/usr/bin/check \"two words\" --quiet\n"
              "healthfailures=5\n[exe4]\nimmediate=Off\nhangaction=Restart\n"
              "[exe5]\nimmediate=Off\nhangseconds=0\nmaxmemory=512\nmaxcpu=90\n"
              "limitaction=Restart\n[exe6]\nimmediate=Off\ncleanexit=Stop\ngiveup=2147483647\n"
              "[exe7]\nimmediate=Off\nbackoff=007\n[exe8]\nimmediate=Off\ngiveup=7\n");

    const auto snapshot = settings::Snapshot::read();
    EXPECT_EQ(snapshot.perSlot[0].giveUpRestarts, 4);
    EXPECT_EQ(snapshot.perSlot[0].hangSeconds, 30);
    EXPECT_EQ(snapshot.perSlot[1].giveUpMinutes, 15);
    EXPECT_TRUE(snapshot.perSlot[3].restartWhenHung);
    EXPECT_EQ(snapshot.perSlot[6].backoffSeconds, 7);
    EXPECT_EQ(snapshot.perSlot[7].giveUpRestarts, 7);
    EXPECT_TRUE(snapshot.perSlot[5].stopOnCleanExit);
    EXPECT_FALSE(snapshot.perSlot[4].stopOnCleanExit);
    EXPECT_EQ(snapshot.mail.minutes, 30);
    EXPECT_EQ(snapshot.perSlot[1].health, QStringLiteral("tcp://127.0.0.1:9000"));
    EXPECT_TRUE(snapshot.perSlot[1].restartWhenUnhealthy);
    EXPECT_EQ(snapshot.perSlot[4].maxMemoryMiB, 512);
    EXPECT_TRUE(snapshot.perSlot[4].restartWhenOverLimit);
}

TEST_F(RestartOptionsTest, ABadEntryIsNamedAndNothingIsSaved) {
    const std::string before = "[exe2]\nname=Editor\ngiveup=3\n[mail]\nminutes=5\n";
    writeSettings(before);
    const auto window = open();
    // Valid changes beside it are not saved either.
    window.toggleAtOnce(1);
    ASSERT_TRUE(window.type(1, Within, QStringLiteral("5")));
    const auto refused = [&](const QString &expected) {
        window.click("cmdSave");
        EXPECT_EQ(messages_.texts(), QStringList{expected});
        messages_.shown.clear();
        EXPECT_TRUE(window.stillOpen());
        EXPECT_EQ(readSettings(), before);
    };
    for (const QString &text :
         {QStringLiteral("abc"), QStringLiteral("-1"), QStringLiteral("+5"), QStringLiteral("5.0"),
          QStringLiteral("\uFF10"), QStringLiteral("2147483648")}) {
        ASSERT_TRUE(window.type(2, GiveUp, text));
        refused(QStringLiteral("Slot \"Editor\", \"Give up after\": \"%1\" is not a whole number "
                               "from 0 to 2147483647.")
                    .arg(text));
    }
    ASSERT_TRUE(window.type(2, GiveUp, QStringLiteral("3")));
    ASSERT_TRUE(window.type(7, HangSeconds, QStringLiteral("1e3")));
    refused(QStringLiteral("Slot \"Executable 7\", \"Not responding after (s)\": \"1e3\" is not "
                           "a whole number from 0 to 2147483647."));
    ASSERT_TRUE(window.type(7, HangSeconds, QString()));
    ASSERT_TRUE(window.type(4, MaxMemory, QStringLiteral("1 GiB")));
    refused(QStringLiteral("Slot \"Executable 4\", \"Max memory (MiB)\": \"1 GiB\" is not a "
                           "whole number from 0 to 2147483647."));
    ASSERT_TRUE(window.type(4, MaxMemory, QString()));

    // A probe that cannot be run is said, with the reason, before anything is written.
    for (const QString &text : {QStringLiteral("tcp://127.0.0.1"), QStringLiteral("tcp://:8080"),
                                QStringLiteral("tcp://127.0.0.1:70000"), QStringLiteral("http://"),
                                QStringLiteral("file:")}) {
        const QString error = engine::parseProbe(text).error;
        ASSERT_FALSE(error.isEmpty()) << text.toStdString();
        ASSERT_TRUE(window.type(2, Probe, text));
        window.click("cmdSave");
        ASSERT_EQ(messages_.shown.size(), 1) << text.toStdString();
        const QString said = messages_.shown[0].text;
        EXPECT_EQ(said, QStringLiteral("Slot \"Editor\", \"Health probe\": ") + error + u'.');
        EXPECT_TRUE(said.contains(QLatin1Char('"') + text + QLatin1Char('"')))
            << said.toStdString();
        EXPECT_EQ(messages_.shown[0].icon, QMessageBox::Warning);
        messages_.shown.clear();
        EXPECT_TRUE(window.stillOpen());
        EXPECT_EQ(window.table()->currentRow(), 1);
        EXPECT_EQ(window.table()->currentColumn(), window.column(Probe));
        EXPECT_EQ(readSettings(), before);
    }
    ASSERT_TRUE(window.type(2, Probe, QString()));
    window.mailMinutes()->setText(QStringLiteral("1.5"));
    refused(QStringLiteral("\"At most one e-mail per slot every (minutes)\": \"1.5\" is not a "
                           "whole number from 0 to 2147483647."));
}

TEST_F(RestartOptionsTest, AnUntickedThenRestartClearsOnlyARestartItShowedTicked) {
    writeSettings("[exe1]\nhangaction=Restart\n[exe2]\nhangaction=Kill\n[exe3]\n"
                  "hangaction=restart\n");
    const auto window = open();
    EXPECT_TRUE(window.ticked(1, ThenRestart));
    EXPECT_FALSE(window.ticked(2, ThenRestart));
    EXPECT_FALSE(window.ticked(3, ThenRestart));
    window.toggle(1, ThenRestart);
    window.toggle(3, ThenRestart);
    window.toggle(4, ThenRestart);
    window.toggle(4, ThenRestart);
    window.click("cmdSave");
    EXPECT_TRUE(window.gone());
    // Any other word was shown unticked and stays; ticking then unticking
    // adds nothing.
    EXPECT_EQ(readSettings(),
              "[exe1]\nhangaction=\nimmediate=Off\n[exe2]\nhangaction=Kill\n"
              "immediate=Off\n[exe3]\nhangaction=Restart\nimmediate=Off\n"
              "[exe4]\nimmediate=Off\n[exe5]\nimmediate=Off\n[exe6]\nimmediate=Off\n"
              "[exe7]\nimmediate=Off\n[exe8]\nimmediate=Off\n");
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
    ASSERT_TRUE(window.type(4, GiveUp, QStringLiteral("2")));
    window.mailMinutes()->setText(QStringLiteral("15"));
    window.click("cmdSave");
    ASSERT_TRUE(window.gone());

    // The main window takes it when it is active again, as every other setting.
    form_->activate();
    EXPECT_TRUE(form_->watchdog().settings().perSlot[3].immediate);
    EXPECT_EQ(form_->watchdog().settings().perSlot[3].giveUpRestarts, 2);
    EXPECT_EQ(form_->watchdog().settings().mail.minutes, 15);
}

} // namespace
