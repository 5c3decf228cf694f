// A user sets up a slot through the dialogs only, goes back to the main
// window, and the program is kept running.

#include "dialogs/command_line_dialog.h"
#include "dialogs/interval_dialog.h"
#include "dialogs/setup_dialog.h"
#include "monitor/main_window.h"
#include "tests/gui/dialog_test_support.h"
#include "tests/gui/gui_test_support.h"
#include "tests/gui/new_main_window.h"
#include "ui/window_registry.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <csignal>

using namespace testing_support;

namespace {

class ConfigureAndRestartTest : public WindowTest {
protected:
    void TearDown() override {
        if (!program_.empty()) {
            killAll(program_);
        }
        WindowTest::TearDown();
    }
    template <class T> static T *in(QWidget *window, const QString &name) {
        auto *found = window->findChild<T *>(name);
        EXPECT_NE(found, nullptr) << name.toStdString();
        return found;
    }
    static void click(QWidget *window, const QString &button) {
        in<QPushButton>(window, button)->click();
    }
    std::filesystem::path program_;
};

TEST_F(ConfigureAndRestartTest, SlotSetUpInTheDialogsIsCheckedAndRestarted) {
    const auto log = folder_ / "watch.log";
    writeSettings("[log]\npath=" + log.string() + "\n");
    const auto apps = folder_ / "apps";
    std::filesystem::create_directory(apps);
    program_ = copyExecutable(WATCHED_PROGRAM, apps, uniqueName("ledger"));
    const auto pages = folder_ / "pages.txt";
    writeScript(folder_ / "pager", "echo \"$*\" >> '" + pages.string() + "'");

    auto *form1 = testing_support::newMainWindow();
    form1->show();

    form1->runMenuItem(QStringLiteral("mnuSetup"));
    auto *setup = ui::WindowRegistry::instance().find<SetupDialog>();
    ASSERT_NE(setup, nullptr);
    in<QLineEdit>(setup, QStringLiteral("Text1"))->setText(QStringLiteral("Ledger"));
    picker_.results = {{ui::PickResult::Status::Chosen, QString::fromStdString(program_.string())}};
    click(setup, QStringLiteral("Command10"));
    EXPECT_EQ(in<QLineEdit>(setup, QStringLiteral("Text18"))->text(),
              QString::fromStdString(apps.string() + "/"));
    click(setup, QStringLiteral("Command5"));

    form1->toolbarClick(QStringLiteral("timer"));
    auto *intervals = ui::WindowRegistry::instance().find<IntervalDialog>();
    ASSERT_NE(intervals, nullptr);
    in<QLineEdit>(intervals, QStringLiteral("Text1"))->setText(QStringLiteral("200"));
    for (int n = 2; n <= 8; ++n) {
        in<QLineEdit>(intervals, QStringLiteral("Text%1").arg(n))->setText(QStringLiteral("0"));
    }
    click(intervals, QStringLiteral("Command2"));
    intervals->close();

    form1->runMenuItem(QStringLiteral("mnucmd"));
    auto *commands = ui::WindowRegistry::instance().find<CommandLineDialog>();
    ASSERT_NE(commands, nullptr);
    in<QLineEdit>(commands, QStringLiteral("Text1"))
        ->setText(QString::fromStdString((folder_ / "pager").string()) + QStringLiteral(" 555 -q"));
    in<QComboBox>(commands, QStringLiteral("Combo1"))->setCurrentIndex(0);
    click(commands, QStringLiteral("Command1"));
    EXPECT_EQ(messages_.texts(), (QStringList{QStringLiteral("Your settings have been saved"),
                                              QStringLiteral("Your valid data entries have been "
                                                             "saved.")}))
        << messages_.texts().join(QLatin1Char('|')).toStdString();

    // Back in the main window the saved slot is taken into use and started.
    form1->activateWindow();
    ASSERT_TRUE(waitFor([&] { return form1->slotName(1) == QStringLiteral("Ledger"); }));
    ASSERT_TRUE(waitFor([&] { return pidsOf(program_).size() == 1; }, 10000));
    const pid_t first = pidsOf(program_)[0];
    EXPECT_EQ(cwdOf(first), apps);

    ::kill(first, SIGKILL);
    ASSERT_TRUE(waitFor(
        [&] {
            const auto pids = pidsOf(program_);
            return pids.size() == 1 && pids[0] != first;
        },
        10000));
    ASSERT_TRUE(waitFor([&] { return linesOf(pages).size() >= 2; }));
    EXPECT_EQ(linesOf(pages).first(), QStringLiteral("555 -q"));
    const QString logText = QString::fromStdString(readFile(log));
    EXPECT_GE(logText.count(QStringLiteral(",Ledger has been restarted.")), 2);

    // Each check of slot 1 shows its program in the setup dialog, loaded hidden.
    auto *hidden = ui::WindowRegistry::instance().find<SetupDialog>();
    ASSERT_NE(hidden, nullptr);
    EXPECT_FALSE(hidden->isVisible());
    EXPECT_EQ(hidden->slotOneProgramEdit()->text(),
              QString::fromStdString(program_.filename().string()));
}

} // namespace
