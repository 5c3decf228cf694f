#include "dialogs/interval_dialog.h"

#include "dialogs/dialog_parts.h"
#include "dialogs/save_settings.h"
#include "engine/settings.h"
#include "ui/message_box.h"
#include "ui/window_fit.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>
#include <cmath>

using dialogs::named;

IntervalDialog::IntervalDialog(QWidget *parent) : QWidget(parent, Qt::Window) {
    dialogs::setUpWindow(this, QStringLiteral("Form8"),
                         QStringLiteral("Settings for Interval Scan of Executables"));

    auto *outer = new QVBoxLayout(this);
    tabs_ = named<QTabWidget>(QStringLiteral("SSTab1"), this);
    for (int n = 1; n <= Slots; ++n) {
        auto *page = new QWidget(tabs_);
        auto *layout = new QVBoxLayout(page);
        auto *label = new QLabel(QStringLiteral("Please enter number in milliseconds."), page);
        label->setToolTip(QStringLiteral("An entry of 0 will turn off scanning of the executable, "
                                         "and an entry of 1000 equates to 1 second."));
        auto *field = named<QLineEdit>(QStringLiteral("Text%1").arg(n), page);
        intervalEdits_[static_cast<std::size_t>(n - 1)] = field;
        layout->addWidget(label);
        layout->addWidget(field);
        layout->addStretch(1);
        tabs_->addTab(page, QStringLiteral("Exe%1").arg(n));
    }
    outer->addWidget(tabs_);

    auto *buttons = new QHBoxLayout();
    hintButton_ = named<QPushButton>(QStringLiteral("Command1"), QStringLiteral("Hint"), this);
    saveAllButton_ =
        named<QPushButton>(QStringLiteral("Command2"), QStringLiteral("&Save All"), this);
    buttons->addWidget(hintButton_);
    buttons->addStretch(1);
    buttons->addWidget(saveAllButton_);
    outer->addLayout(buttons);

    connect(hintButton_, &QPushButton::clicked, this, &IntervalDialog::hint);
    connect(saveAllButton_, &QPushButton::clicked, this, &IntervalDialog::saveAll);

    const auto stored = settings::Stored::read();
    for (int n = 1; n <= Slots; ++n) {
        intervalEdits_[static_cast<std::size_t>(n - 1)]->setText(
            stored.text(settings::Key::SlotInterval, n));
    }
    ui::fitDialog(this);
}

void IntervalDialog::saveAll() {
    settings::Save save;
    int valid = 0;
    // The entries before an invalid one are still saved; an empty save would
    // only rewrite (or create) the file.
    const auto saveValid = [&] { return valid == 0 || dialogs::save(this, save); };
    for (int n = 1; n <= Slots; ++n) {
        const QString text = intervalEdits_[static_cast<std::size_t>(n - 1)]->text();
        bool isNumber = false;
        const double value = QLocale().toDouble(text, &isNumber);
        if (!isNumber || std::isnan(value)) {
            // This slot and the ones after it stay as they are in the file.
            ui::message(this,
                        QStringLiteral("Please make sure that all data inputs are valid numeric "
                                       "entries"),
                        QStringLiteral("Invalid Entry"), QMessageBox::Warning);
            saveValid();
            return;
        }
        if (value < 0 || value > LongestInterval) {
            ui::message(this,
                        QStringLiteral("The number that you entered is not valid.  Please input a "
                                       "number between 0 and 60000."),
                        QStringLiteral("Invalid Input"), QMessageBox::Critical);
            continue;
        }
        // Plain digits, rounded as the main window rounds: typed text such as
        // "60.000" would mean 60 under another locale.
        save.set(settings::Key::SlotInterval, n,
                 QString::number(static_cast<int>(std::nearbyint(value))));
        ++valid;
    }
    if (!saveValid()) {
        return;
    }
    ui::message(this, QStringLiteral("Your valid data entries have been saved."),
                QStringLiteral("Validation of Saved Data"), QMessageBox::Information);
}

void IntervalDialog::hint() {
    ui::message(
        this, QStringLiteral("This value determines the interval to which the executable will be "
                             "checked.  An entry of 1000 equates to a check time of every second.  "
                             "This value is very important for determining how soon the failed "
                             "application starts or is checked."));
}
