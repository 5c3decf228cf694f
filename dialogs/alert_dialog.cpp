#include "dialogs/alert_dialog.h"

#include "dialogs/dialog_parts.h"
#include "dialogs/save_settings.h"
#include "engine/settings.h"
#include "ui/window_fit.h"
#include "ui/window_registry.h"

#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

QComboBox *switchChoice(const char *name, settings::Key key, bool editable, QWidget *parent) {
    auto *combo = new QComboBox(parent);
    combo->setObjectName(QString::fromLatin1(name));
    combo->addItems({settings::word(key, false), settings::word(key, true)});
    if (editable) {
        dialogs::keepTypedText(combo);
    }
    return combo;
}

void addRow(QFormLayout *form, const QString &label, const QString &hint, QComboBox *combo) {
    auto *caption = new QLabel(label);
    caption->setToolTip(hint);
    combo->setToolTip(hint);
    caption->setBuddy(combo);
    form->addRow(caption, combo);
}

} // namespace

AlertDialog::AlertDialog(QWidget *parent) : QWidget(parent, Qt::Window) {
    setObjectName(QStringLiteral("Form7"));
    setWindowTitle(QStringLiteral("Visual and Audio Alert Options"));
    ui::WindowRegistry::instance().add(this);

    audioOptions_ = new QGroupBox(QStringLiteral("Audio Option"), this);
    audioOptions_->setObjectName(QStringLiteral("Frame1"));
    audioAlarmCombo_ = switchChoice("Combo1", settings::Key::AudioAlarm, true, audioOptions_);
    auto *audio = new QFormLayout(audioOptions_);
    addRow(audio, QStringLiteral("Audio Alert"),
           QStringLiteral("This is to set an audible beep every 2 seconds to warn of a restart.  "
                          "Push the acknowledge button on the main screen to disable."),
           audioAlarmCombo_);

    visualOptions_ = new QGroupBox(QStringLiteral("Visual Options"), this);
    visualOptions_->setObjectName(QStringLiteral("Frame2"));
    flashingScreenCombo_ =
        switchChoice("Combo2", settings::Key::VisualAlarm, false, visualOptions_);
    popupCombo_ = switchChoice("Combo3", settings::Key::PopupAlarm, false, visualOptions_);
    auto *visual = new QFormLayout(visualOptions_);
    addRow(visual, QStringLiteral("Flashing Screen"),
           QStringLiteral(
               "When enabled the main screen will flash due to a restart of an executable."),
           flashingScreenCombo_);
    addRow(visual, QStringLiteral("Popup Box Display"),
           QStringLiteral("When enabled, a pop up box giving the date, time, and name of "
                          "application will appear after an application restart."),
           popupCombo_);

    saveAllButton_ = new QPushButton(QStringLiteral("&Save All"), this);
    saveAllButton_->setObjectName(QStringLiteral("Command1"));
    saveAllButton_->setToolTip(
        QStringLiteral("Click here to save all visual and audio alert settings"));
    connect(saveAllButton_, &QPushButton::clicked, this, &AlertDialog::saveAll);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(audioOptions_);
    layout->addWidget(visualOptions_);
    layout->addWidget(saveAllButton_, 0, Qt::AlignRight);

    // The audio text is shown as stored; a list shows nothing selected for a
    // value that is none of its entries.
    const auto stored = settings::Stored::read();
    audioAlarmCombo_->setEditText(stored.text(settings::Key::AudioAlarm));
    flashingScreenCombo_->setCurrentIndex(
        flashingScreenCombo_->findText(stored.text(settings::Key::VisualAlarm)));
    popupCombo_->setCurrentIndex(popupCombo_->findText(stored.text(settings::Key::PopupAlarm)));
    ui::fitDialog(this);
}

void AlertDialog::saveAll() {
    settings::Save save;
    save.set(settings::Key::AudioAlarm, audioAlarmCombo_->currentText())
        .set(settings::Key::VisualAlarm, flashingScreenCombo_->currentText())
        .set(settings::Key::PopupAlarm, popupCombo_->currentText());
    if (dialogs::save(this, save)) {
        close();
    }
}
