#include "core/program_folder.h"
#include "dialogs/setup_dialog.h"
#include "engine/settings.h"
#include "monitor/main_window.h"
#include "tests/gui/dialog_test_support.h"
#include "tests/gui/gui_test_support.h"
#include "tests/gui/new_main_window.h"
#include "ui/window_registry.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>

using testing_support::linesOf;
using testing_support::WindowTest;
using testing_support::writeScript;

namespace {

class SetupDialogTest : public WindowTest {
protected:
    SetupDialog *open() {
        form_ = ui::WindowRegistry::instance().show<SetupDialog>();
        return form_;
    }
    template <class T> T *control(const QString &name) const {
        auto *found = form_->findChild<T *>(name);
        EXPECT_NE(found, nullptr) << name.toStdString();
        return found;
    }
    QLineEdit *text(int n) const { return control<QLineEdit>(QStringLiteral("Text%1").arg(n)); }
    QCheckBox *check(int n) const { return control<QCheckBox>(QStringLiteral("Check%1").arg(n)); }
    QComboBox *combo1() const { return control<QComboBox>(QStringLiteral("Combo1")); }
    void click(int command) const {
        control<QPushButton>(QStringLiteral("Command%1").arg(command))->click();
    }
    /// Closing deletes the window once the event loop runs.
    bool closedAndGone() const {
        return waitFor([&] { return form_.isNull(); });
    }

    /// A stand-in companion that appends the current phase to a log each time it starts.
    void installCompanion(const std::filesystem::path &folder) {
        companionLog_ = folder / "linkmind.log";
        phaseFile_ = folder / "phase";
        setPhase("load");
        writeScript(folder / "linkmind",
                    "cat '" + phaseFile_.string() + "' >> '" + companionLog_.string() + "'");
    }
    /// Renamed into place: a companion starting meanwhile reads a whole phase.
    void setPhase(const std::string &phase) const {
        const auto next = phaseFile_.string() + ".next";
        testing_support::writeFile(next, phase + "\n");
        std::filesystem::rename(next, phaseFile_);
    }
    QStringList companionStarts() const { return linesOf(companionLog_); }
    bool companionStartsReach(qsizetype count) const {
        return waitFor([&] { return companionStarts().size() >= count; });
    }

    QPointer<SetupDialog> form_;
    std::filesystem::path companionLog_;
    std::filesystem::path phaseFile_;
};

TEST_F(SetupDialogTest, SaveAllWritesEveryKeyInOrderAndTheFileLoadsBack) {
    open();
    EXPECT_EQ(form_->windowTitle(), QStringLiteral("Perstando Setup"));
    auto *tabs = control<QTabWidget>(QStringLiteral("SSTab1"));
    ASSERT_EQ(tabs->count(), 9);
    EXPECT_EQ(tabs->tabText(0), QStringLiteral("EXE 1"));
    EXPECT_EQ(tabs->tabText(7), QStringLiteral("EXE 8"));
    EXPECT_EQ(tabs->tabText(8), QStringLiteral("Internet"));

    for (int n = 1; n <= 8; ++n) {
        text(2 * n - 1)->setText(QStringLiteral("Name %1").arg(n));
        text(2 * n)->setText(QStringLiteral("prog%1").arg(n));
        text(17 + n)->setText(QStringLiteral("/srv/dir %1").arg(n));
    }
    control<QLineEdit>(QStringLiteral("Text17"))->setText(QStringLiteral("Office line"));
    combo1()->setCurrentText(QStringLiteral("No"));
    check(1)->setChecked(true);
    check(2)->setChecked(false);
    click(5);

    ASSERT_EQ(messages_.shown.size(), 1);
    EXPECT_EQ(messages_.shown[0].text, QStringLiteral("Your settings have been saved"));
    EXPECT_EQ(messages_.shown[0].title, QStringLiteral("Tenacor"));
    EXPECT_EQ(messages_.shown[0].icon, QMessageBox::Information);
    EXPECT_TRUE(closedAndGone());

    // Sections and keys appear in the order they were first written, spelled
    // as the dialog writes them.
    std::string expected;
    for (int n = 1; n <= 8; ++n) {
        expected += "[exe" + std::to_string(n) + "]\nname=Name " + std::to_string(n) +
                    "\npath=prog" + std::to_string(n) + "\n";
    }
    for (int n = 1; n <= 8; ++n) {
        const auto digit = std::to_string(n);
        expected += "[workingexe" + digit + "]\npath" + digit + "=/srv/dir " + digit + "\n";
    }
    expected += "[internet]\nrestartname=Office line\nMonitor=On\nRestart=Off\nalive=Off\n"
                "[StartupMode]\nInIconTray=No\n";
    EXPECT_EQ(readSettings(), expected);

    open();
    for (int n = 1; n <= 8; ++n) {
        EXPECT_EQ(text(2 * n - 1)->text(), QStringLiteral("Name %1").arg(n));
        EXPECT_EQ(text(2 * n)->text(), QStringLiteral("prog%1").arg(n));
        EXPECT_EQ(text(17 + n)->text(), QStringLiteral("/srv/dir %1").arg(n));
    }
    EXPECT_EQ(control<QLineEdit>(QStringLiteral("Text17"))->text(), QStringLiteral("Office line"));
    EXPECT_EQ(combo1()->currentText(), QStringLiteral("No"));
    EXPECT_TRUE(check(1)->isChecked());
    EXPECT_FALSE(check(2)->isChecked());
    EXPECT_FALSE(check(3)->isChecked());
}

// The arguments and the output file: loaded, written only when changed, and
// read back as typed.
TEST_F(SetupDialogTest, SlotTextFieldsAreWrittenOnlyWhenChangedAndReadBackAsTyped) {
    struct Case {
        const char *field;
        const char *key;
        QString settings::Slot::*value;
        QString typed; ///< what slot 3 gets, read back as typed
    };
    const Case cases[] = {
        // Quoted at both ends: a plain write would lose the outer quotes on the next read.
        {"txtArguments", "arguments", &settings::Slot::arguments,
         QStringLiteral("\"a b\" \"c d\"")},
        {"txtOutput", "output", &settings::Slot::outputFile,
         QStringLiteral("/var/log/shop front.log")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.field);
        writeSettings("[exe2]\nname=Two\npath=two\n" + std::string(c.key) + "=--keep\n");
        open();
        auto *tabs = control<QTabWidget>(QStringLiteral("SSTab1"));
        const auto field = [&](int slot) {
            return tabs->widget(slot - 1)->findChild<QLineEdit *>(QString::fromLatin1(c.field));
        };
        ASSERT_NE(field(8), nullptr);
        EXPECT_EQ(field(2)->text(), QStringLiteral("--keep"));
        field(3)->setText(c.typed);
        click(5);
        EXPECT_TRUE(closedAndGone());

        const std::string saved = readSettings();
        EXPECT_EQ(testing_support::occurrences(saved, "\n" + std::string(c.key) + "="), 2) << saved;
        const auto snapshot = settings::Snapshot::read();
        EXPECT_EQ(snapshot.perSlot[1].*c.value, QStringLiteral("--keep"));
        EXPECT_EQ(snapshot.perSlot[2].*c.value, c.typed);
        messages_.shown.clear();
    }
}

TEST_F(SetupDialogTest, TheOutputFilesPickerTakesANewFileFromTheSettingsFolder) {
    writeSettings("[exe4]\nname=Four\noutput=logs/four.log\n");
    open();
    auto *tabs = control<QTabWidget>(QStringLiteral("SSTab1"));
    const auto output = [&](int slot) {
        return tabs->widget(slot - 1)->findChild<QLineEdit *>(QStringLiteral("txtOutput"));
    };
    const auto browse = [&](int slot) {
        tabs->widget(slot - 1)
            ->findChild<QPushButton *>(QStringLiteral("cmdBrowseOutput"))
            ->click();
    };
    picker_.results = {{ui::PickResult::Status::Chosen, QStringLiteral("/var/log/new.log")},
                       {ui::PickResult::Status::Cancelled, {}}};
    browse(4);
    ASSERT_EQ(picker_.requests.size(), 1);
    EXPECT_TRUE(picker_.requests[0].newFileAllowed);
    // A relative path is the settings' folder's, where the window opens.
    EXPECT_EQ(picker_.requests[0].startFolder, folderText() + QStringLiteral("/logs"));
    EXPECT_EQ(picker_.requests[0].fileName, QStringLiteral("four.log"));
    EXPECT_EQ(output(4)->text(), QStringLiteral("/var/log/new.log"));
    browse(5);
    EXPECT_EQ(picker_.requests[1].startFolder, folderText());
    EXPECT_TRUE(output(5)->text().isEmpty());
    // The executable picker is not left open to new files.
    text(7)->setText(QStringLiteral("Four"));
    picker_.results = {{ui::PickResult::Status::Cancelled, {}}};
    click(13);
    EXPECT_FALSE(picker_.requests.last().newFileAllowed);
}

TEST_F(SetupDialogTest, QuickEraseThenSaveLeavesEmptyValues) {
    writeSettings("[exe5]\nname=Orders\npath=orders\ntimer=500\n[workingexe5]\npath5=/srv/o\n"
                  "[exe6]\nname=Keep\npath=keep\n");
    open();
    EXPECT_EQ(text(9)->text(), QStringLiteral("Orders"));
    click(6); // slot 5's "&Quick Erase"
    EXPECT_TRUE(text(9)->text().isEmpty());
    EXPECT_TRUE(text(10)->text().isEmpty());
    EXPECT_TRUE(text(22)->text().isEmpty());
    EXPECT_EQ(settings::text(settings::Key::SlotName, 5),
              QStringLiteral("Orders")); // nothing written before Save All
    click(5);

    const std::string saved = readSettings();
    EXPECT_NE(saved.find("[exe5]\nname=\npath=\ntimer=500\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("[workingexe5]\npath5=\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("[exe6]\nname=Keep\npath=keep\n"), std::string::npos) << saved;
}

TEST_F(SetupDialogTest, SwitchesCountOnlyExactlyOnAndTheStartModeIsSavedAsTyped) {
    writeSettings("[Internet]\nMonitor=on\nRestart=On\nalive=ON\nRestartname=Dial-up\n"
                  "[Startupmode]\nInIconTray=Yes\n");
    open();
    EXPECT_FALSE(check(1)->isChecked());
    EXPECT_TRUE(check(2)->isChecked());
    EXPECT_FALSE(check(3)->isChecked());
    EXPECT_EQ(combo1()->currentText(), QStringLiteral("Yes"));
    EXPECT_EQ(control<QLineEdit>(QStringLiteral("Text17"))->text(), QStringLiteral("Dial-up"));
    ASSERT_TRUE(combo1()->isEditable());
    EXPECT_EQ(combo1()->count(), 2);

    combo1()->setCurrentText(QStringLiteral("Sometimes"));
    click(5);
    EXPECT_EQ(settings::text(settings::Key::StartInTray), QStringLiteral("Sometimes"));
    EXPECT_EQ(settings::text(settings::Key::InternetWatch), QStringLiteral("Off"));
    EXPECT_EQ(settings::text(settings::Key::InternetRestart), QStringLiteral("On"));
    EXPECT_EQ(settings::text(settings::Key::KeepUp), QStringLiteral("Off"));
    // The stored spellings of the sections stay; the values change in place.
    const std::string saved = readSettings();
    EXPECT_NE(saved.find("[Internet]\nMonitor=Off\nRestart=On\nalive=Off\nRestartname=Dial-up\n"),
              std::string::npos)
        << saved;
    EXPECT_NE(saved.find("[Startupmode]\nInIconTray=Sometimes\n"), std::string::npos) << saved;
}

TEST_F(SetupDialogTest, TypedStartModeKeepsItsCase) {
    writeSettings("[StartupMode]\nInIconTray=No\n");
    auto typeAndSave = [&](const QString &typed, bool enter) {
        open();
        form_->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(form_));
        QLineEdit *edit = combo1()->lineEdit();
        ASSERT_NE(edit, nullptr);
        combo1()->setFocus();
        ASSERT_TRUE(waitFor([&] { return edit->hasFocus(); }));
        edit->selectAll();
        QTest::keyClicks(edit, typed);
        if (enter) {
            QTest::keyClick(edit, Qt::Key_Return);
        } else {
            text(1)->setFocus(); // leaves the field
        }
        click(5);
        ASSERT_TRUE(closedAndGone());
    };
    auto startMode = [] { return settings::text(settings::Key::StartInTray); };
    typeAndSave(QStringLiteral("yes"), true);
    EXPECT_EQ(startMode(), QStringLiteral("yes"));
    // Completion must not finish the word as "No".
    typeAndSave(QStringLiteral("n"), false);
    EXPECT_EQ(startMode(), QStringLiteral("n"));
}

TEST_F(SetupDialogTest, ActivationPausesTheMainWindowAndReReadsTheStartMode) {
    writeSettings("[StartupMode]\nInIconTray=Yes\n");
    auto *form1 = testing_support::newMainWindow();
    form1->show();
    form1->activateWindow();
    auto *pause = form1->findChild<QCheckBox *>(QStringLiteral("Check1"));
    ASSERT_NE(pause, nullptr);
    ASSERT_TRUE(waitFor([&] { return QApplication::activeWindow() == form1; }));
    EXPECT_FALSE(pause->isChecked());

    form1->runMenuItem(QStringLiteral("mnuSetup"));
    form_ = ui::WindowRegistry::instance().find<SetupDialog>();
    ASSERT_NE(form_, nullptr);
    EXPECT_TRUE(waitFor([&] { return pause->isChecked(); }, 500));

    combo1()->setCurrentText(QStringLiteral("No"));
    form1->activateWindow();
    EXPECT_TRUE(waitFor([&] { return !pause->isChecked(); }, 500));
    EXPECT_EQ(combo1()->currentText(), QStringLiteral("No"));

    form_->activateWindow();
    EXPECT_TRUE(waitFor([&] { return pause->isChecked(); }, 500));
    EXPECT_EQ(combo1()->currentText(), QStringLiteral("Yes"));
    click(5);
    EXPECT_EQ(settings::text(settings::Key::StartInTray), QStringLiteral("Yes"));
}

TEST_F(SetupDialogTest, ADialogOverTheSetupDoesNotCountAsAnotherWindow) {
    writeSettings("[StartupMode]\nInIconTray=Yes\n");
    open();
    form_->activateWindow();
    ASSERT_TRUE(waitFor([&] { return QApplication::activeWindow() == form_; }));
    combo1()->setCurrentText(QStringLiteral("No"));

    auto *box = new QDialog(form_);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->show();
    box->activateWindow();
    ASSERT_TRUE(waitFor([&] { return QApplication::activeWindow() == box; }));
    box->close();
    form_->activateWindow();
    ASSERT_TRUE(waitFor([&] { return QApplication::activeWindow() == form_; }));
    EXPECT_EQ(combo1()->currentText(), QStringLiteral("No"));
}

TEST_F(SetupDialogTest, HiddenLoadThenShowRunsOnlyTheActivation) {
    writeSettings("[exe1]\nname=First\npath=first.bin\n[exe2]\nname=Second\n[StartupMode]\n"
                  "InIconTray=No\n[Internet]\nalive=On\n");
    installCompanion(folder_.path());
    auto *form1 = testing_support::newMainWindow();
    auto *pause = form1->findChild<QCheckBox *>(QStringLiteral("Check1"));

    form_ = ui::WindowRegistry::instance().load<SetupDialog>();
    form_->setProgramOfSlotOne(QStringLiteral("ticked.bin"));
    EXPECT_FALSE(form_->isVisible());
    EXPECT_EQ(form_->slotOneProgramEdit(), text(2));
    EXPECT_EQ(text(2)->text(), QStringLiteral("ticked.bin"));
    EXPECT_EQ(text(1)->text(), QStringLiteral("First"));
    EXPECT_FALSE(pause->isChecked());
    ASSERT_TRUE(companionStartsReach(1));

    writeSettings("[exe1]\nname=Changed\npath=changed.bin\n[exe2]\nname=Changed too\n"
                  "[StartupMode]\nInIconTray=Yes\n[Internet]\nalive=On\n");
    setPhase("show");
    form_->setProgramOfSlotOne(QStringLiteral("ticked again.bin"));
    EXPECT_EQ(ui::WindowRegistry::instance().show<SetupDialog>(), form_.data());
    EXPECT_TRUE(form_->isVisible());
    EXPECT_TRUE(pause->isChecked());
    EXPECT_EQ(combo1()->currentText(), QStringLiteral("Yes"));
    EXPECT_EQ(text(1)->text(), QStringLiteral("First"));
    EXPECT_EQ(text(3)->text(), QStringLiteral("Second"));
    EXPECT_EQ(text(2)->text(), QStringLiteral("ticked again.bin"));

    // Only the load started the companion; the unload is the next start.
    setPhase("unload");
    form_->close();
    ASSERT_TRUE(companionStartsReach(2));
    EXPECT_EQ(companionStarts(), (QStringList{QStringLiteral("load"), QStringLiteral("unload")}));
}

TEST_F(SetupDialogTest, AHiddenDialogStartsTheCompanionWhenItIsUnloaded) {
    writeSettings("[Internet]\nalive=On\n");
    installCompanion(folder_.path());
    form_ = ui::WindowRegistry::instance().load<SetupDialog>();
    ASSERT_TRUE(companionStartsReach(1));
    setPhase("unload");
    form_->close();
    EXPECT_TRUE(closedAndGone());
    ASSERT_TRUE(companionStartsReach(2));
    EXPECT_EQ(companionStarts(), (QStringList{QStringLiteral("load"), QStringLiteral("unload")}));
}

TEST_F(SetupDialogTest, CompanionStartsAtLoadClickAndUnloadWhenTheSavedSwitchIsOn) {
    writeSettings("[Internet]\nalive=On\n");
    installCompanion(folder_.path());
    open();
    ASSERT_TRUE(companionStartsReach(1));
    EXPECT_TRUE(check(3)->isChecked());

    setPhase("click");
    check(3)->click(); // unticking starts it too: the saved value counts
    ASSERT_TRUE(companionStartsReach(2));

    setPhase("exit");
    form_->findChild<QAction *>(QStringLiteral("mnuexit"))->trigger();
    EXPECT_TRUE(closedAndGone());
    ASSERT_TRUE(companionStartsReach(3));
    EXPECT_EQ(companionStarts(), (QStringList{QStringLiteral("load"), QStringLiteral("click"),
                                              QStringLiteral("exit")}));
    // Exit saved nothing.
    EXPECT_EQ(readSettings(), "[Internet]\nalive=On\n");
}

TEST_F(SetupDialogTest, CompanionStartsOnceAtTheUnloadAfterSavingTheSwitchOn) {
    writeSettings("[Internet]\nalive=Off\n");
    installCompanion(folder_.path());
    open();
    setPhase("click");
    check(3)->click();
    EXPECT_TRUE(check(3)->isChecked());
    setPhase("save");
    click(5);
    EXPECT_TRUE(closedAndGone());
    ASSERT_TRUE(companionStartsReach(1));

    // The next load starts it again (the switch is saved on now).
    setPhase("reload");
    open();
    ASSERT_TRUE(companionStartsReach(2));
    EXPECT_EQ(companionStarts(), (QStringList{QStringLiteral("save"), QStringLiteral("reload")}));
}

TEST_F(SetupDialogTest, CompanionInAFolderWithBlanksAndAMissingCompanion) {
    const auto spaced = folder_.path() / "program folder";
    std::filesystem::create_directory(spaced);
    core::setProgramFolderOverride(spaced.string());
    testing_support::writeFile(spaced / "settings.ini", "[Internet]\nalive=On\n");
    installCompanion(spaced);
    open();
    ASSERT_TRUE(companionStartsReach(1));
    setPhase("unload");
    form_->close();
    EXPECT_TRUE(closedAndGone());
    ASSERT_TRUE(companionStartsReach(2));

    // Without a companion beside the program nothing is reported and nothing stops.
    std::filesystem::remove(spaced / "linkmind");
    open();
    check(3)->click();
    form_->close();
    EXPECT_TRUE(closedAndGone());
    EXPECT_TRUE(messages_.shown.isEmpty());

    // Any spelling but "On" starts nothing.
    installCompanion(spaced);
    testing_support::writeFile(spaced / "settings.ini", "[Internet]\nalive=on\n");
    setPhase("lower case");
    open();
    check(3)->click();
    form_->close();
    EXPECT_TRUE(closedAndGone());
    setPhase("direct");
    form_ = new SetupDialog();
    testing_support::writeFile(spaced / "settings.ini", "[Internet]\nalive=On\n");
    form_->startCompanionIfKept();
    ASSERT_TRUE(companionStartsReach(3));
    EXPECT_EQ(companionStarts(), (QStringList{QStringLiteral("load"), QStringLiteral("unload"),
                                              QStringLiteral("direct")}));
}

TEST_F(SetupDialogTest, PickersFillTheFieldsAndShareTheirSettings) {
    open();
    click(12); // slot 3's "&Select Executable" without a name
    ASSERT_EQ(messages_.shown.size(), 1);
    EXPECT_EQ(messages_.shown[0].text,
              QStringLiteral("Please enter name of application in the first field"));
    EXPECT_EQ(messages_.shown[0].title, QStringLiteral("Perstando"));
    EXPECT_EQ(messages_.shown[0].icon, QMessageBox::NoIcon);
    EXPECT_TRUE(picker_.requests.isEmpty());

    text(5)->setText(QStringLiteral("Tools"));
    text(20)->setText(QStringLiteral("/before"));
    picker_.results = {{ui::PickResult::Status::Chosen, QStringLiteral("/opt/tools/app.bin")}};
    click(12);
    ASSERT_EQ(picker_.requests.size(), 1);
    EXPECT_EQ(picker_.requests[0].filters, (QStringList{QStringLiteral("Exe Files (*.exe*)"),
                                                        QStringLiteral("All Files (*.*)")}));
    EXPECT_TRUE(picker_.requests[0].executablesInFirstFilter);
    EXPECT_EQ(text(6)->text(), QStringLiteral("app.bin"));
    EXPECT_EQ(text(20)->text(), QStringLiteral("/opt/tools/"));
    EXPECT_EQ(text(5)->text(), QStringLiteral("Tools"));

    picker_.results = {{ui::PickResult::Status::Chosen, QStringLiteral("/app.bin")}};
    click(12);
    EXPECT_EQ(text(20)->text(), QStringLiteral("/"));

    picker_.results = {{ui::PickResult::Status::Cancelled, {}},
                       {ui::PickResult::Status::Failed, {}}};
    click(12);
    click(12);
    EXPECT_EQ(text(6)->text(), QStringLiteral("app.bin"));
    EXPECT_EQ(text(20)->text(), QStringLiteral("/"));

    picker_.results = {{ui::PickResult::Status::Chosen, QStringLiteral("/data/work/")},
                       {ui::PickResult::Status::Chosen, QStringLiteral("/")},
                       {ui::PickResult::Status::Cancelled, {}},
                       {ui::PickResult::Status::Failed, {}}};
    click(28); // slot 3's "Browse"
    const auto browseRequest = picker_.requests.last();
    EXPECT_EQ(browseRequest.title, QStringLiteral("Select the working directory to"));
    EXPECT_EQ(browseRequest.startFolder, folderText());
    EXPECT_EQ(browseRequest.fileName, QStringLiteral("Working Directory"));
    EXPECT_EQ(text(20)->text(), QStringLiteral("/data/work"));
    click(28);
    EXPECT_EQ(text(20)->text(), QStringLiteral("/"));
    click(28);
    EXPECT_EQ(text(20)->text(), QStringLiteral("/"));
    EXPECT_EQ(messages_.shown.size(), 1);
    click(28);
    EXPECT_EQ(text(20)->text(), QStringLiteral("/"));
    ASSERT_EQ(messages_.shown.size(), 2);
    EXPECT_EQ(messages_.shown[1].text, QStringLiteral("Operation Failed, Please Try Again"));
    EXPECT_EQ(messages_.shown[1].title, QStringLiteral("Failure"));
    EXPECT_EQ(messages_.shown[1].icon, QMessageBox::Critical);

    // The executable picker opens where the folder picker left the shared dialog.
    picker_.results = {{ui::PickResult::Status::Cancelled, {}}};
    click(12);
    EXPECT_EQ(picker_.requests.last().title, QStringLiteral("Select the working directory to"));
    EXPECT_EQ(picker_.requests.last().startFolder, folderText());
    EXPECT_EQ(picker_.requests.last().filters.size(), 2);
}

TEST_F(SetupDialogTest, StartExeStartsTheProgramInTheSlotsWorkingDirectory) {
    open();
    click(23); // slot 6's "Start Exe" with no executable
    ASSERT_EQ(messages_.shown.size(), 1);
    EXPECT_EQ(messages_.shown[0].text,
              QStringLiteral("Please use the browse button to select an executable path for the "
                             "exe that you would like to start"));
    EXPECT_EQ(messages_.shown[0].title, QStringLiteral("Testing Start Up of Executable"));
    EXPECT_EQ(messages_.shown[0].icon, QMessageBox::Information);

    const auto workDir = folder_.path() / "work";
    std::filesystem::create_directory(workDir);
    const auto record = folder_.path() / "started.txt";
    writeScript(workDir / "starter", "pwd >> '" + record.string() + "'");
    text(12)->setText(QStringLiteral("starter"));
    text(23)->setText(QString::fromStdString(workDir.string()));
    click(23);
    ASSERT_TRUE(waitFor([&] { return !linesOf(record).isEmpty(); }));
    EXPECT_EQ(linesOf(record), QStringList{QString::fromStdString(workDir.string())});
    EXPECT_EQ(messages_.shown.size(), 1);

    // A program that cannot be started says nothing.
    text(12)->setText(QStringLiteral("no-such-program"));
    click(23);
    EXPECT_EQ(messages_.shown.size(), 1);
}

TEST_F(SetupDialogTest, ASaveThatCannotBeWrittenSaysSoAndKeepsTheDialogOpen) {
    writeSettings("[exe1]\nname=Old\n");
    testing_support::makeReadOnly(settingsFile());
    open();
    text(1)->setText(QStringLiteral("New"));
    click(5);
    ASSERT_EQ(messages_.shown.size(), 1);
    EXPECT_EQ(messages_.shown[0].icon, QMessageBox::Critical);
    EXPECT_TRUE(messages_.shown[0].text.contains(settings::pathText()));
    EXPECT_FALSE(messages_.texts().contains(QStringLiteral("Your settings have been saved")));
    EXPECT_EQ(readSettings(), "[exe1]\nname=Old\n");
    QApplication::processEvents();
    ASSERT_FALSE(form_.isNull());
    EXPECT_TRUE(form_->isVisible());
    EXPECT_EQ(text(1)->text(), QStringLiteral("New"));
}

TEST_F(SetupDialogTest, MenusAndToolbarOpenTheDialogsOnce) {
    auto *form1 = testing_support::newMainWindow();
    form1->runMenuItem(QStringLiteral("mnuSetup"));
    form1->toolbarClick(QStringLiteral("file"));
    form1->runMenuItem(QStringLiteral("mnuscan"));
    form1->toolbarClick(QStringLiteral("timer"));
    form1->runMenuItem(QStringLiteral("mnucmd"));
    form1->toolbarClick(QStringLiteral("cmd"));
    int setups = 0;
    QStringList names;
    for (QWidget *w : ui::WindowRegistry::instance().loaded()) {
        names << w->objectName();
        setups += qobject_cast<SetupDialog *>(w) ? 1 : 0;
        if (w != form1) {
            EXPECT_TRUE(w->isVisible()) << w->objectName().toStdString();
        }
    }
    EXPECT_EQ(setups, 1);
    EXPECT_EQ(names, (QStringList{QStringLiteral("Form1"), QStringLiteral("Form2"),
                                  QStringLiteral("Form8"), QStringLiteral("Form6")}));
}

} // namespace
