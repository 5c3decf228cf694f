#include "dialogs/command_line_dialog.h"
#include "engine/settings.h"
#include "tests/gui/dialog_test_support.h"
#include "tests/gui/gui_test_support.h"
#include "ui/window_registry.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTabWidget>

using testing_support::linesOf;
using testing_support::WindowTest;

namespace {

class CommandLineDialogTest : public WindowTest {
protected:
    void open() { form_ = ui::WindowRegistry::instance().show<CommandLineDialog>(); }
    QLineEdit *command(int slot) const {
        return form_->findChild<QLineEdit *>(QStringLiteral("Text%1").arg(slot));
    }
    QComboBox *enabled(int slot) const {
        return form_->findChild<QComboBox *>(QStringLiteral("Combo%1").arg(slot));
    }
    void switchTo(int slot, const QString &value) const {
        enabled(slot)->setCurrentIndex(enabled(slot)->findText(value));
    }
    void click(int number) const {
        form_->findChild<QPushButton *>(QStringLiteral("Command%1").arg(number))->click();
    }
    bool closedAndGone() const {
        return waitFor([&] { return form_.isNull(); });
    }
    QPointer<CommandLineDialog> form_;
};

TEST_F(CommandLineDialogTest, SavesAllCommandsThenAllSwitchesAndCloses) {
    writeSettings("[cmdline]\ncmdexe1=/usr/bin/pager 5\nstatusexe1=On\nstatusexe2=Off\n"
                  "statusexe3=on\nstatusexe4=Yes\n");
    open();
    EXPECT_EQ(form_->windowTitle(), QStringLiteral("Command Line Setting for each Executable"));
    auto *frame = form_->findChild<QGroupBox *>(QStringLiteral("Frame1"));
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->title(), QStringLiteral("Command Line Settings"));
    auto *tabs = frame->findChild<QTabWidget *>(QStringLiteral("SSTab1"));
    ASSERT_NE(tabs, nullptr);
    EXPECT_EQ(tabs->tabText(7), QStringLiteral("Exe8"));
    EXPECT_FALSE(enabled(1)->isEditable());
    EXPECT_EQ(enabled(1)->itemText(0), QStringLiteral("On"));
    EXPECT_EQ(enabled(1)->itemText(1), QStringLiteral("Off"));

    EXPECT_EQ(command(1)->text(), QStringLiteral("/usr/bin/pager 5"));
    EXPECT_EQ(enabled(1)->currentText(), QStringLiteral("On"));
    EXPECT_EQ(enabled(2)->currentText(), QStringLiteral("Off"));
    // Anything but the two entries, a missing value included, selects nothing.
    for (int n : {3, 4, 5}) {
        EXPECT_EQ(enabled(n)->currentIndex(), -1) << n;
    }

    command(2)->setText(QStringLiteral("   "));
    switchTo(2, QStringLiteral("On"));  // blanks count as a command
    switchTo(8, QStringLiteral("Off")); // off needs no command
    click(1);
    EXPECT_TRUE(messages_.shown.isEmpty());
    EXPECT_TRUE(closedAndGone());
    EXPECT_EQ(readSettings(),
              "[cmdline]\ncmdexe1=/usr/bin/pager 5\nstatusexe1=On\nstatusexe2=On\n"
              "statusexe3=\nstatusexe4=\ncmdexe2=   \ncmdexe3=\ncmdexe4=\ncmdexe5=\n"
              "cmdexe6=\ncmdexe7=\ncmdexe8=\nstatusexe5=\nstatusexe6=\n"
              "statusexe7=\nstatusexe8=Off\n");

    open();
    EXPECT_EQ(enabled(2)->currentText(), QStringLiteral("On"));
    EXPECT_EQ(enabled(3)->currentIndex(), -1);
    EXPECT_EQ(enabled(8)->currentText(), QStringLiteral("Off"));
}

TEST_F(CommandLineDialogTest, ASwitchedOnSlotWithoutCommandStopsTheSaveBeforeAnyWrite) {
    const std::string before = "[cmdline]\ncmdexe1=old\n";
    writeSettings(before);
    open();
    command(1)->setText(QStringLiteral("new 1"));
    switchTo(1, QStringLiteral("On"));
    switchTo(2, QStringLiteral("On"));
    switchTo(4, QStringLiteral("On"));
    command(2)->setText(QStringLiteral("two"));
    click(1);
    ASSERT_EQ(messages_.shown.size(), 1);
    EXPECT_EQ(messages_.shown[0].text, QStringLiteral("Please input command line for exe4."));
    EXPECT_EQ(messages_.shown[0].title, QStringLiteral("Perstando"));
    EXPECT_EQ(messages_.shown[0].icon, QMessageBox::NoIcon);
    EXPECT_EQ(readSettings(), before);
    QApplication::processEvents();
    ASSERT_FALSE(form_.isNull());
    EXPECT_EQ(command(1)->text(), QStringLiteral("new 1"));

    command(2)->clear();
    switchTo(5, QStringLiteral("On"));
    click(1);
    EXPECT_EQ(messages_.texts().last(), QStringLiteral("Please input command line for exe2."));
    EXPECT_EQ(messages_.shown.size(), 2);
    EXPECT_EQ(readSettings(), before);
}

TEST_F(CommandLineDialogTest, TestButtonRunsTheCommandWithItsArguments) {
    const auto record = folder_.path() / "called.txt";
    const auto tool = folder_.path() / "pager tool";
    testing_support::writeScript(tool, "echo \"$# $1|$2\" >> '" + record.string() + "'");
    open();
    command(3)->setText(
        QStringLiteral("\"%1\" 555 \"call me\"").arg(QString::fromStdString(tool.string())));
    switchTo(3, QStringLiteral("Off")); // the switch plays no part
    click(4);
    ASSERT_TRUE(waitFor([&] { return !linesOf(record).isEmpty(); }));
    EXPECT_EQ(linesOf(record), QStringList{QStringLiteral("2 555|call me")});
    EXPECT_TRUE(messages_.shown.isEmpty());

    // An empty or unknown command starts nothing and says nothing.
    click(5);
    command(5)->setText(QStringLiteral("/no/such/program -x"));
    click(6);
    EXPECT_TRUE(messages_.shown.isEmpty());
    EXPECT_FALSE(std::filesystem::exists(settingsFile()));
}

TEST_F(CommandLineDialogTest, ExampleShowsAPagingCommand) {
    open();
    form_->findChild<QAction *>(QStringLiteral("mnuexample"))->trigger();
    ASSERT_EQ(messages_.shown.size(), 1);
    EXPECT_EQ(
        messages_.shown[0].text,
        QStringLiteral("c:\\attn\\attn -a Call_Me  This example sends a command line argument "
                       "to a paging application.  The first attn is the directory, the next "
                       "attn is the executable.  The following are commands passed to the "
                       "application called attn."));
    EXPECT_EQ(messages_.shown[0].title, QStringLiteral("Perstando"));
}

TEST_F(CommandLineDialogTest, ASaveThatCannotBeWrittenSaysSoAndKeepsTheDialogOpen) {
    const std::string before = "[cmdline]\ncmdexe1=old\n";
    writeSettings(before);
    testing_support::makeReadOnly(settingsFile());
    open();
    command(1)->setText(QStringLiteral("new"));
    click(1);
    ASSERT_EQ(messages_.shown.size(), 1);
    EXPECT_EQ(messages_.shown[0].icon, QMessageBox::Critical);
    EXPECT_TRUE(messages_.shown[0].text.contains(settings::pathText()));
    EXPECT_EQ(readSettings(), before);
    QApplication::processEvents();
    ASSERT_FALSE(form_.isNull());
    EXPECT_TRUE(form_->isVisible());
    EXPECT_EQ(command(1)->text(), QStringLiteral("new"));
}

} // namespace
