#include "dialogs/interval_dialog.h"
#include "engine/settings.h"
#include "engine/slot_watcher.h"
#include "monitor/main_window.h"
#include "tests/gui/dialog_test_support.h"
#include "tests/gui/gui_test_support.h"
#include "tests/gui/new_main_window.h"
#include "ui/window_registry.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPointer>
#include <QPushButton>
#include <QTabWidget>

using testing_support::WindowTest;

namespace {

const QString InvalidInput = QStringLiteral(
    "The number that you entered is not valid.  Please input a number between 0 and 60000.");
const QString Saved = QStringLiteral("Your valid data entries have been saved.");
const QString InvalidEntry =
    QStringLiteral("Please make sure that all data inputs are valid numeric entries");

class IntervalDialogTest : public WindowTest {
protected:
    void open() { form_ = ui::WindowRegistry::instance().show<IntervalDialog>(); }
    QLineEdit *field(int slot) const {
        return form_->findChild<QLineEdit *>(QStringLiteral("Text%1").arg(slot));
    }
    void enter(const QStringList &values) const {
        for (int n = 1; n <= values.size(); ++n) {
            field(n)->setText(values[n - 1]);
        }
    }
    void saveAll() const { form_->findChild<QPushButton *>(QStringLiteral("Command2"))->click(); }
    static QString stored(int slot) { return settings::text(settings::Key::SlotInterval, slot); }
    QPointer<IntervalDialog> form_;
};

/// Eight slots each holding "7" in the file, so untouched slots are visible.
std::string sevens() {
    std::string content;
    for (int n = 1; n <= 8; ++n) {
        content += "[exe" + std::to_string(n) + "]\ntimer=7\n";
    }
    return content;
}

TEST_F(IntervalDialogTest, LoadsTheIntervalsAndSavesValidOnesAsPlainWholeNumbers) {
    writeSettings("[exe2]\ntimer=2500\n[exe8]\ntimer=abc\n");
    open();
    EXPECT_EQ(form_->windowTitle(), QStringLiteral("Settings for Interval Scan of Executables"));
    auto *tabs = form_->findChild<QTabWidget *>(QStringLiteral("SSTab1"));
    ASSERT_EQ(tabs->count(), 8);
    EXPECT_EQ(tabs->tabText(0), QStringLiteral("Exe1"));
    EXPECT_TRUE(field(1)->text().isEmpty());
    EXPECT_EQ(field(2)->text(), QStringLiteral("2500"));
    EXPECT_EQ(field(8)->text(), QStringLiteral("abc"));

    enter({QStringLiteral("60000"), QStringLiteral("0"), QStringLiteral("1500.5"),
           QStringLiteral(" 1000"), QStringLiteral("1,000"), QStringLiteral("3"),
           QStringLiteral("4"), QStringLiteral("5")});
    saveAll();
    ASSERT_EQ(messages_.shown.size(), 1);
    EXPECT_EQ(messages_.shown[0].text, Saved);
    EXPECT_EQ(messages_.shown[0].title, QStringLiteral("Validation of Saved Data"));
    EXPECT_EQ(messages_.shown[0].icon, QMessageBox::Information);
    EXPECT_EQ(stored(1), QStringLiteral("60000"));
    EXPECT_EQ(stored(2), QStringLiteral("0"));
    EXPECT_EQ(stored(3), QStringLiteral("1500")) << "rounded as the main window rounds";
    EXPECT_EQ(stored(4), QStringLiteral("1000"));
    EXPECT_EQ(stored(5), QStringLiteral("1000"));
    EXPECT_EQ(stored(8), QStringLiteral("5"));

    // The dialog stays open; saving again writes the same file.
    const std::string first = readSettings();
    saveAll();
    EXPECT_EQ(readSettings(), first);
    EXPECT_EQ(messages_.texts(), (QStringList{Saved, Saved}));
    QApplication::processEvents();
    ASSERT_FALSE(form_.isNull());
    EXPECT_TRUE(form_->isVisible());
}

TEST_F(IntervalDialogTest, OutOfRangeSlotsAreReportedOneByOneAndSkipped) {
    writeSettings(sevens());
    open();
    enter({QStringLiteral("60001"), QStringLiteral("-5"), QStringLiteral("1"), QStringLiteral("2"),
           QStringLiteral("3"), QStringLiteral("1e9"), QStringLiteral("5"), QStringLiteral("6")});
    saveAll();
    ASSERT_EQ(messages_.texts(), (QStringList{InvalidInput, InvalidInput, InvalidInput, Saved}));
    EXPECT_EQ(messages_.shown[0].title, QStringLiteral("Invalid Input"));
    EXPECT_EQ(messages_.shown[0].icon, QMessageBox::Critical);
    const QStringList expected = {QStringLiteral("7"), QStringLiteral("7"), QStringLiteral("1"),
                                  QStringLiteral("2"), QStringLiteral("3"), QStringLiteral("7"),
                                  QStringLiteral("5"), QStringLiteral("6")};
    for (int n = 1; n <= 8; ++n) {
        EXPECT_EQ(stored(n), expected[n - 1]) << n;
    }
}

TEST_F(IntervalDialogTest, TextThatIsNoNumberStopsTheSaveAtItsSlot) {
    writeSettings(sevens());
    open();
    enter({QStringLiteral("100"), QStringLiteral("70000"), QString(), QStringLiteral("400"),
           QStringLiteral("-1"), QStringLiteral("600"), QStringLiteral("700"),
           QStringLiteral("800")});
    saveAll();
    ASSERT_EQ(messages_.texts(), (QStringList{InvalidInput, InvalidEntry}));
    EXPECT_EQ(messages_.shown[1].title, QStringLiteral("Invalid Entry"));
    EXPECT_EQ(messages_.shown[1].icon, QMessageBox::Warning);
    EXPECT_EQ(stored(1), QStringLiteral("100"));
    for (int n = 2; n <= 8; ++n) {
        EXPECT_EQ(stored(n), QStringLiteral("7")) << n;
    }

    messages_.shown.clear();
    enter({QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("3"), QStringLiteral("4"),
           QStringLiteral("nan"), QStringLiteral("12ms")});
    saveAll();
    EXPECT_EQ(messages_.texts(), QStringList{InvalidEntry});
    EXPECT_EQ(stored(4), QStringLiteral("4"));
    EXPECT_EQ(stored(5), QStringLiteral("7"));
}

/// Sets the default locale for the scope of a test.
class DefaultLocale {
public:
    explicit DefaultLocale(const QLocale &locale) { QLocale::setDefault(locale); }
    ~DefaultLocale() { QLocale::setDefault(previous_); }
    DefaultLocale(const DefaultLocale &) = delete;
    DefaultLocale &operator=(const DefaultLocale &) = delete;

private:
    QLocale previous_;
};

TEST_F(IntervalDialogTest, NumbersAreReadInTheUsersLocale) {
    const DefaultLocale german(QLocale(QLocale::German, QLocale::Germany));
    open();
    enter({QStringLiteral("1500,5"), QStringLiteral("1500.5.5"), QStringLiteral("3")});
    saveAll();
    EXPECT_EQ(stored(1), QStringLiteral("1500"));
    EXPECT_EQ(messages_.texts(), QStringList{InvalidEntry});
}

TEST_F(IntervalDialogTest, SavedIntervalsMeanTheSameInAnotherLocale) {
    {
        const DefaultLocale german(QLocale(QLocale::German, QLocale::Germany));
        open();
        enter({QStringLiteral("60.000"), QStringLiteral("1.000"), QStringLiteral("2500,4")});
        saveAll();
        delete form_;
    }
    // Sixty thousand under de_DE is not sixty under C.
    const DefaultLocale c(QLocale::c());
    auto *monitor = testing_support::newMainWindow();
    EXPECT_EQ(monitor->watchdog().slotWatcher().timer(1)->interval(), 60000);
    EXPECT_EQ(monitor->watchdog().slotWatcher().timer(2)->interval(), 1000);
    EXPECT_EQ(monitor->watchdog().slotWatcher().timer(3)->interval(), 2500);
}

TEST_F(IntervalDialogTest, HintExplainsTheValue) {
    open();
    const auto *label = form_->findChild<QLabel *>();
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->text(), QStringLiteral("Please enter number in milliseconds."));
    EXPECT_EQ(label->toolTip(), QStringLiteral("An entry of 0 will turn off scanning of the "
                                               "executable, and an entry of 1000 equates to 1 "
                                               "second."));
    form_->findChild<QPushButton *>(QStringLiteral("Command1"))->click();
    ASSERT_EQ(messages_.shown.size(), 1);
    EXPECT_EQ(messages_.shown[0].text,
              QStringLiteral("This value determines the interval to which the executable will be "
                             "checked.  An entry of 1000 equates to a check time of every second.  "
                             "This value is very important for determining how soon the failed "
                             "application starts or is checked."));
    EXPECT_EQ(messages_.shown[0].title, QStringLiteral("Perstando"));
    EXPECT_EQ(messages_.shown[0].icon, QMessageBox::NoIcon);
}

TEST_F(IntervalDialogTest, ASaveThatCannotBeWrittenIsNotCalledSaved) {
    writeSettings(sevens());
    testing_support::makeReadOnly(settingsFile());
    open();
    enter({QStringLiteral("100")});
    saveAll();
    ASSERT_EQ(messages_.shown.size(), 1);
    EXPECT_EQ(messages_.shown[0].icon, QMessageBox::Critical);
    EXPECT_TRUE(messages_.shown[0].text.contains(settings::pathText()));
    EXPECT_EQ(readSettings(), sevens());
    EXPECT_TRUE(form_->isVisible());

    // A save stopped by a bad entry still says that its writes failed, and
    // the failed save leaves the file exactly as it was: all or nothing.
    messages_.shown.clear();
    enter({QStringLiteral("100"), QStringLiteral("x")});
    saveAll();
    ASSERT_EQ(messages_.shown.size(), 2);
    EXPECT_EQ(messages_.shown[0].text, InvalidEntry);
    EXPECT_TRUE(messages_.shown[1].text.contains(settings::pathText()));
    EXPECT_EQ(readSettings(), sevens());
}

} // namespace
