#include "dialogs/command_line_dialog.h"

#include "core/launcher.h"
#include "dialogs/dialog_parts.h"
#include "dialogs/save_settings.h"
#include "engine/settings.h"
#include "ui/message_box.h"
#include "ui/window_fit.h"

#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

using dialogs::named;

CommandLineDialog::CommandLineDialog(QWidget *parent) : QWidget(parent, Qt::Window) {
    dialogs::setUpWindow(this, QStringLiteral("Form6"),
                         QStringLiteral("Command Line Setting for each Executable"));

    auto *outer = new QVBoxLayout(this);
    commandLineOptions_ =
        named<QGroupBox>(QStringLiteral("Frame1"), QStringLiteral("Command Line Settings"), this);
    auto *frameLayout = new QVBoxLayout(commandLineOptions_);
    tabs_ = named<QTabWidget>(QStringLiteral("SSTab1"), commandLineOptions_);
    for (int n = 1; n <= Slots; ++n) {
        auto *page = new QWidget(tabs_);
        auto *grid = new QGridLayout(page);
        auto &controls = slots_[static_cast<std::size_t>(n - 1)];
        controls.command = named<QLineEdit>(QStringLiteral("Text%1").arg(n), page);
        ui::showCharacters(controls.command, 60);
        controls.enabled = named<QComboBox>(QStringLiteral("Combo%1").arg(n), page);
        controls.enabled->addItems({settings::word(settings::Key::SlotCommandSwitch, true),
                                    settings::word(settings::Key::SlotCommandSwitch, false)});
        controls.enabled->setToolTip(
            QStringLiteral("Would you like command line settings activated for this executable?"));
        auto *test = named<QPushButton>(QStringLiteral("Command%1").arg(n + 1),
                                        QStringLiteral("Test Command Line"), page);
        grid->addWidget(new QLabel(QStringLiteral("Please enter command line"), page), 0, 0, 1, 2);
        grid->addWidget(controls.command, 1, 0);
        grid->addWidget(test, 1, 1);
        grid->addWidget(new QLabel(QStringLiteral("Enable for Exe%1").arg(n), page), 2, 0, 1, 2);
        grid->addWidget(controls.enabled, 3, 0, Qt::AlignLeft);
        grid->setColumnStretch(0, 1);
        grid->setRowStretch(4, 1);
        tabs_->addTab(page, QStringLiteral("Exe%1").arg(n));
        connect(test, &QPushButton::clicked, this, [this, n] { testCommandLine(n); });
    }
    frameLayout->addWidget(tabs_);
    auto *note = new QLabel(QStringLiteral("Command Line will trigger only after an executable "
                                           "failure occurs.  Command Line is dependent upon an "
                                           "executable failure."),
                            commandLineOptions_);
    note->setWordWrap(true);
    frameLayout->addWidget(note);
    outer->addWidget(commandLineOptions_);

    auto *buttons = new QHBoxLayout();
    buttons->addStretch(1);
    saveAllButton_ =
        named<QPushButton>(QStringLiteral("Command1"), QStringLiteral("&Save All"), this);
    saveAllButton_->setToolTip(QStringLiteral("Click here to save all command line settings"));
    buttons->addWidget(saveAllButton_);
    outer->addLayout(buttons);

    QAction *exampleItem =
        dialogs::addMenuItem(this, QStringLiteral("mnuexample"), QStringLiteral("Example"));
    connect(exampleItem, &QAction::triggered, this, &CommandLineDialog::example);
    connect(saveAllButton_, &QPushButton::clicked, this, &CommandLineDialog::saveAll);

    const auto stored = settings::Stored::read();
    for (int n = 1; n <= Slots; ++n) {
        auto &controls = slots_[static_cast<std::size_t>(n - 1)];
        controls.command->setText(stored.text(settings::Key::SlotCommand, n));
        // A value that is neither entry leaves no selection, which saves as "".
        controls.enabled->setCurrentIndex(
            controls.enabled->findText(stored.text(settings::Key::SlotCommandSwitch, n)));
    }
    ui::fitDialog(this);
}

void CommandLineDialog::saveAll() {
    for (int n = 1; n <= Slots; ++n) {
        const auto &controls = slots_[static_cast<std::size_t>(n - 1)];
        if (settings::isOn(settings::Key::SlotCommandSwitch, controls.enabled->currentText()) &&
            controls.command->text().isEmpty()) {
            ui::message(this, QStringLiteral("Please input command line for exe%1.").arg(n));
            return;
        }
    }
    settings::Save save;
    for (int n = 1; n <= Slots; ++n) {
        save.set(settings::Key::SlotCommand, n,
                 slots_[static_cast<std::size_t>(n - 1)].command->text());
    }
    for (int n = 1; n <= Slots; ++n) {
        save.set(settings::Key::SlotCommandSwitch, n,
                 slots_[static_cast<std::size_t>(n - 1)].enabled->currentText());
    }
    // After a failure the window stays open with the user's entries, so they
    // can be saved again.
    if (dialogs::save(this, save)) {
        close();
    }
}

void CommandLineDialog::testCommandLine(int slot) {
    // Started the way a restart runs the action: split into program and
    // arguments. A failed start says nothing.
    std::string commandLine =
        slots_[static_cast<std::size_t>(slot - 1)].command->text().toStdString();
    launcher::runCommandLine(commandLine);
}

void CommandLineDialog::example() {
    ui::message(
        this,
        QStringLiteral("c:\\attn\\attn -a Call_Me  This example sends a command line argument to "
                       "a paging application.  The first attn is the directory, the next attn is "
                       "the executable.  The following are commands passed to the application "
                       "called attn."));
}
