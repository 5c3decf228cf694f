#include "core/ini_file.h"
#include "dialogs/alert_dialog.h"
#include "engine/settings.h"
#include "tests/gui/gui_test_support.h"
#include "ui/window_registry.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <sys/stat.h>

using testing_support::WindowTest;

namespace {

class AlertDialogTest : public WindowTest {
protected:
    AlertDialog *open() {
        form_ = ui::WindowRegistry::instance().show<AlertDialog>();
        return form_;
    }
    QComboBox *combo(const char *name) const {
        return form_->findChild<QComboBox *>(QString::fromLatin1(name));
    }
    void clickSave() const {
        QTest::mouseClick(form_->findChild<QPushButton *>(QStringLiteral("Command1")),
                          Qt::LeftButton);
    }
    bool unloaded() {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return form_.isNull();
    }
    std::string stored(const char *key) const {
        return ini::readValue("Alerts", key, settingsFile());
    }
    QPointer<AlertDialog> form_;
};

TEST_F(AlertDialogTest, ControlsCarryTheirTexts) {
    open();
    EXPECT_EQ(form_->windowTitle(), QStringLiteral("Visual and Audio Alert Options"));
    EXPECT_TRUE(combo("Combo1")->isEditable());
    EXPECT_FALSE(combo("Combo2")->isEditable());
    for (const char *name : {"Combo1", "Combo2", "Combo3"}) {
        ASSERT_EQ(combo(name)->count(), 2) << name;
        EXPECT_EQ(combo(name)->itemText(0), QStringLiteral("Off")) << name;
        EXPECT_EQ(combo(name)->itemText(1), QStringLiteral("On")) << name;
    }
    auto *save = form_->findChild<QPushButton *>(QStringLiteral("Command1"));
    EXPECT_EQ(save->text(), QStringLiteral("&Save All"));
    EXPECT_EQ(save->toolTip(),
              QStringLiteral("Click here to save all visual and audio alert settings"));
    EXPECT_EQ(combo("Combo1")->toolTip(),
              QStringLiteral("This is to set an audible beep every 2 seconds to warn of a "
                             "restart.  Push the acknowledge button on the main screen to "
                             "disable."));
}

TEST_F(AlertDialogTest, NoAlertsSectionGivesEmptyChoicesAndSavesEmptyValues) {
    writeSettings("[log]\npath=/tmp/x.log\n");
    open();
    for (const char *name : {"Combo1", "Combo2", "Combo3"}) {
        EXPECT_EQ(combo(name)->currentText(), QString()) << name;
    }
    EXPECT_EQ(combo("Combo2")->currentIndex(), -1);
    clickSave();
    EXPECT_EQ(readSettings(), "[log]\npath=/tmp/x.log\n[Alerts]\naudio=\nvisual=\nPop=\n");
    EXPECT_TRUE(unloaded());
    EXPECT_TRUE(messages_.shown.isEmpty());
}

TEST_F(AlertDialogTest, TypedAudioTextIsSavedUnchanged) {
    writeSettings("[Alerts]\naudio=On\n");
    open();
    EXPECT_EQ(combo("Combo1")->currentText(), QStringLiteral("On"));
    QLineEdit *edit = combo("Combo1")->lineEdit();
    edit->selectAll();
    QTest::keyClicks(edit, QStringLiteral("on"));
    QTest::keyClick(edit, Qt::Key_Return);
    EXPECT_EQ(combo("Combo1")->currentText(), QStringLiteral("on"));
    clickSave();
    EXPECT_EQ(stored("audio"), "on");

    // Shown as stored when the dialog opens again, however odd.
    ASSERT_TRUE(unloaded());
    open();
    EXPECT_EQ(combo("Combo1")->currentText(), QStringLiteral("on"));
}

TEST_F(AlertDialogTest, PopupAloneChangesAndTheOthersKeepWhatTheyShowed) {
    // A visual value that is no entry shows as nothing and is saved as shown.
    writeSettings("[Alerts]\naudio=Off\nvisual=on\nPop=Off\n");
    open();
    EXPECT_EQ(combo("Combo2")->currentIndex(), -1);
    combo("Combo3")->setCurrentIndex(combo("Combo3")->findText(QStringLiteral("On")));
    clickSave();
    EXPECT_EQ(stored("audio"), "Off");
    EXPECT_EQ(stored("visual"), "");
    EXPECT_EQ(stored("Pop"), "On");
}

TEST_F(AlertDialogTest, ReadOnlySettingsFileIsReportedAndTheDialogStays) {
    const std::string before = "[Alerts]\naudio=Off\n";
    writeSettings(before);
    ::chmod(settingsFile().c_str(), 0444);
    open();
    combo("Combo2")->setCurrentIndex(1);
    clickSave();
    ASSERT_EQ(messages_.shown.size(), 1);
    EXPECT_EQ(messages_.shown[0].text,
              settings::saveFailedMessage(QStringLiteral("the file is read-only")));
    EXPECT_TRUE(messages_.shown[0].text.contains(settings::pathText()));
    EXPECT_EQ(messages_.shown[0].icon, QMessageBox::Critical);
    EXPECT_FALSE(unloaded());
    EXPECT_TRUE(form_->isVisible());
    EXPECT_EQ(combo("Combo2")->currentText(), QStringLiteral("On"));
    EXPECT_EQ(readSettings(), before);
}

} // namespace
