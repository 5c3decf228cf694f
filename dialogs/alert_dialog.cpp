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

QComboBox *switchChoice(const char *name, bool editable, QWidget *parent) {
    auto *combo = new QComboBox(parent);
    combo->setObjectName(QString::fromLatin1(name));
    combo->addItems({settings::switchText(false), settings::switchText(true)});
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

    frame1_ = new QGroupBox(QStringLiteral("Audio Option"), this);
    frame1_->setObjectName(QStringLiteral("Frame1"));
    combo1_ = switchChoice("Combo1", true, frame1_);
    auto *audio = new QFormLayout(frame1_);
    addRow(audio, QStringLiteral("Audio Alert"),
           QStringLiteral("This is to set an audible beep every 2 seconds to warn of a restart.  "
                          "Push the acknowledge button on the main screen to disable."),
           combo1_);

    frame2_ = new QGroupBox(QStringLiteral("Visual Options"), this);
    frame2_->setObjectName(QStringLiteral("Frame2"));
    combo2_ = switchChoice("Combo2", false, frame2_);
    combo3_ = switchChoice("Combo3", false, frame2_);
    auto *visual = new QFormLayout(frame2_);
    addRow(visual, QStringLiteral("Flashing Screen"),
           QStringLiteral(
               "When enabled the main screen will flash due to a restart of an executable."),
           combo2_);
    addRow(visual, QStringLiteral("Popup Box Display"),
           QStringLiteral("When enabled, a pop up box giving the date, time, and name of "
                          "application will appear after an application restart."),
           combo3_);

    command1_ = new QPushButton(QStringLiteral("&Save All"), this);
    command1_->setObjectName(QStringLiteral("Command1"));
    command1_->setToolTip(QStringLiteral("Click here to save all visual and audio alert settings"));
    connect(command1_, &QPushButton::clicked, this, &AlertDialog::saveAll);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(frame1_);
    layout->addWidget(frame2_);
    layout->addWidget(command1_, 0, Qt::AlignRight);

    // The audio text is shown as stored; a list shows nothing selected for a
    // value that is none of its entries.
    const auto stored = settings::Stored::read();
    combo1_->setEditText(stored.text(settings::Key::AudioAlarm));
    combo2_->setCurrentIndex(combo2_->findText(stored.text(settings::Key::VisualAlarm)));
    combo3_->setCurrentIndex(combo3_->findText(stored.text(settings::Key::PopupAlarm)));
    ui::fitDialog(this);
}

void AlertDialog::saveAll() {
    settings::Save save;
    save.set(settings::Key::AudioAlarm, combo1_->currentText())
        .set(settings::Key::VisualAlarm, combo2_->currentText())
        .set(settings::Key::PopupAlarm, combo3_->currentText());
    if (dialogs::save(this, save)) {
        close();
    }
}
