#include "dialogs/setup_dialog.h"

#include "core/companion.h"
#include "core/launcher.h"
#include "core/program_folder.h"
#include "dialogs/dialog_parts.h"
#include "dialogs/save_settings.h"
#include "engine/settings.h"
#include "engine/watchdog.h"
#include "ui/activation_tracker.h"
#include "ui/message_box.h"
#include "ui/window_fit.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

using dialogs::named;

namespace {

QString control(const char *kind, int number) {
    return QString::fromLatin1(kind) + QString::number(number);
}

/// Quick Erase buttons skip Command5, which is "&Save All".
int quickEraseNumber(int slot) {
    return slot <= 4 ? slot : slot + 1;
}

qsizetype lastSeparator(const QString &path) {
    return std::max(path.lastIndexOf(QLatin1Char('/')), path.lastIndexOf(QLatin1Char('\\')));
}

/// A chosen folder as the field shows it: no trailing separator, except the root.
QString withoutTrailingSeparator(QString folder) {
    while (folder.size() > 1 && folder.endsWith(QLatin1Char('/'))) {
        folder.chop(1);
    }
    return folder;
}

} // namespace

SetupDialog::SetupDialog(engine::Watchdog *watchdog, QWidget *parent)
    : QWidget(parent, Qt::Window), watchdog_(watchdog) {
    dialogs::setUpWindow(this, QStringLiteral("Form2"), QStringLiteral("Perstando Setup"));

    auto *outer = new QVBoxLayout(this);
    tabs_ = named<QTabWidget>(QStringLiteral("SSTab1"), this);
    for (int n = 1; n <= Slots; ++n) {
        tabs_->addTab(buildSlotPage(n), QStringLiteral("EXE %1").arg(n));
    }
    tabs_->addTab(buildInternetPage(), QStringLiteral("Internet"));
    outer->addWidget(tabs_);

    auto *bottom = new QHBoxLayout();
    bottom->addWidget(new QLabel(QStringLiteral("Run Perstando in Icon Tray at Startup"), this));
    startInTrayCombo_ = named<QComboBox>(QStringLiteral("Combo1"), this);
    startInTrayCombo_->addItems({settings::word(settings::Key::StartInTray, true),
                                 settings::word(settings::Key::StartInTray, false)});
    dialogs::keepTypedText(startInTrayCombo_);
    bottom->addWidget(startInTrayCombo_);
    bottom->addStretch(1);
    saveAllButton_ =
        named<QPushButton>(QStringLiteral("Command5"), QStringLiteral("&Save All"), this);
    saveAllButton_->setToolTip(QStringLiteral("Click here to save your settings"));
    bottom->addWidget(saveAllButton_);
    outer->addLayout(bottom);

    QAction *exitItem =
        dialogs::addMenuItem(this, QStringLiteral("mnuexit"), QStringLiteral("E&xit"));
    connect(exitItem, &QAction::triggered, this, &QWidget::close);
    connect(saveAllButton_, &QPushButton::clicked, this, &SetupDialog::saveAll);
    // Every change of the box, the load's included, consults the saved setting.
    connect(keepUpCheck_, &QCheckBox::toggled, this, [this] { startCompanionIfKept(); });

    load();
    ui::ActivationTracker::instance().watch(this, [this] { activate(); });
    ui::fitDialog(this);
}

QWidget *SetupDialog::buildSlotPage(int slot) {
    auto *page = new QWidget(tabs_);
    auto *grid = new QGridLayout(page);
    auto &fields = slots_[static_cast<std::size_t>(slot - 1)];

    fields.name = named<QLineEdit>(control("Text", 2 * slot - 1), page);
    fields.name->setToolTip(
        QStringLiteral("Type the program name associated with the executable.  Example, "
                       "notepad.exe would be named NotePad."));
    fields.executable = named<QLineEdit>(control("Text", 2 * slot), page);
    fields.executable->setToolTip(QStringLiteral(
        "Using the browse button, locate the executable associated with the program you want to "
        "be kept alive.  For example: NotePad would be located at c:\\windows\\notepad.exe.  Click "
        "open and notepad.exe should now appear in the box.  Don't forget to click save!"));
    fields.workingDirectory = named<QLineEdit>(control("Text", 17 + slot), page);
    fields.arguments = named<QLineEdit>(QStringLiteral("txtArguments"), page);
    fields.arguments->setToolTip(
        QStringLiteral("Arguments the program is started with. Blanks separate them; double "
                       "quotes keep blanks inside one. No shell reads them."));
    fields.output = named<QLineEdit>(QStringLiteral("txtOutput"), page);
    fields.output->setToolTip(QStringLiteral(
        "The file the program's standard output and standard error are appended to, each line "
        "with its time. It is rotated at outputkb (1024 KiB), keeping outputfiles (3) files. "
        "Empty: the output is not kept."));

    auto *erase = named<QPushButton>(control("Command", quickEraseNumber(slot)),
                                     QStringLiteral("&Quick Erase"), page);
    auto *select = named<QPushButton>(control("Command", 9 + slot),
                                      QStringLiteral("&Select Executable"), page);
    auto *start =
        named<QPushButton>(control("Command", 17 + slot), QStringLiteral("Start Exe"), page);
    auto *browseButton =
        named<QPushButton>(control("Command", 25 + slot), QStringLiteral("Browse"), page);
    auto *browseOutputButton =
        named<QPushButton>(QStringLiteral("cmdBrowseOutput"), QStringLiteral("Browse"), page);

    grid->addWidget(
        new QLabel(QStringLiteral("Please enter name of executable to be checked."), page), 0, 0, 1,
        3);
    grid->addWidget(fields.name, 1, 0);
    grid->addWidget(erase, 1, 1);
    grid->addWidget(
        new QLabel(QStringLiteral("Please locate the executable to be kept alive."), page), 2, 0, 1,
        3);
    grid->addWidget(fields.executable, 3, 0);
    grid->addWidget(select, 3, 1);
    grid->addWidget(start, 3, 2);
    grid->addWidget(new QLabel(QStringLiteral("Path Display of Selected Executable"), page), 4, 0,
                    1, 3);
    grid->addWidget(fields.workingDirectory, 5, 0);
    grid->addWidget(browseButton, 5, 1);
    grid->addWidget(new QLabel(QStringLiteral("Arguments"), page), 6, 0, 1, 3);
    grid->addWidget(fields.arguments, 7, 0);
    grid->addWidget(new QLabel(QStringLiteral("Output file"), page), 8, 0, 1, 3);
    grid->addWidget(fields.output, 9, 0);
    grid->addWidget(browseOutputButton, 9, 1);
    grid->setColumnStretch(0, 1);
    grid->setRowStretch(10, 1);

    connect(erase, &QPushButton::clicked, this, [this, slot] { quickErase(slot); });
    connect(select, &QPushButton::clicked, this, [this, slot] { selectExecutable(slot); });
    connect(start, &QPushButton::clicked, this, [this, slot] { startExe(slot); });
    connect(browseButton, &QPushButton::clicked, this, [this, slot] { browse(slot); });
    connect(browseOutputButton, &QPushButton::clicked, this, [this, slot] { browseOutput(slot); });
    return page;
}

QWidget *SetupDialog::buildInternetPage() {
    auto *page = new QWidget(tabs_);
    auto *layout = new QVBoxLayout(page);
    internetOptions_ = named<QGroupBox>(QStringLiteral("Frame1"),
                                        QStringLiteral("Perstando Options for Internet"), page);
    auto *frameLayout = new QVBoxLayout(internetOptions_);
    watchInternetCheck_ =
        named<QCheckBox>(QStringLiteral("Check1"),
                         QStringLiteral("Monitor  Internet Connection Every 30 Seconds (Pop-Up "
                                        "and E-Mail Notifications do not apply for this type of "
                                        "Monitoring)"),
                         internetOptions_);
    restartInternetCheck_ = named<QCheckBox>(
        QStringLiteral("Check2"), QStringLiteral("Auto Restart Internet Connection after Failure"),
        internetOptions_);
    connectionNameEdit_ = named<QLineEdit>(QStringLiteral("Text17"), internetOptions_);
    connectionNameEdit_->setToolTip(
        QStringLiteral("Type in exact dialup networking name that needs to be restarted."));
    keepUpCheck_ =
        named<QCheckBox>(QStringLiteral("Check3"), QStringLiteral("Keep Internet Connection Alive"),
                         internetOptions_);
    keepUpNote_ =
        named<QLabel>(QStringLiteral("Label18"),
                      QStringLiteral("The option to \"Keep Internet Connection Alive,\" only "
                                     "works when PCs are installed with Microsoft Internet "
                                     "Explorer"),
                      internetOptions_);
    keepUpNote_->setWordWrap(true);
    frameLayout->addWidget(watchInternetCheck_);
    frameLayout->addWidget(restartInternetCheck_);
    frameLayout->addWidget(connectionNameEdit_);
    frameLayout->addWidget(keepUpCheck_);
    frameLayout->addWidget(keepUpNote_);
    layout->addWidget(internetOptions_);
    layout->addStretch(1);
    return page;
}

void SetupDialog::load() {
    const auto stored = settings::Stored::read();
    for (int n = 1; n <= Slots; ++n) {
        auto &fields = slots_[static_cast<std::size_t>(n - 1)];
        fields.workingDirectory->setText(stored.text(settings::Key::SlotFolder, n));
        fields.name->setText(stored.text(settings::Key::SlotName, n));
        fields.executable->setText(stored.text(settings::Key::SlotProgram, n));
        fields.storedArguments = stored.text(settings::Key::SlotArguments, n);
        fields.arguments->setText(fields.storedArguments);
        fields.storedOutput = stored.text(settings::Key::SlotOutput, n);
        fields.output->setText(fields.storedOutput);
    }
    startInTrayCombo_->setCurrentText(stored.text(settings::Key::StartInTray));

    connectionNameEdit_->setText(stored.text(settings::Key::InternetRestartName));
    watchInternetCheck_->setChecked(stored.flag(settings::Key::InternetWatch));
    restartInternetCheck_->setChecked(stored.flag(settings::Key::InternetRestart));
    keepUpCheck_->setChecked(stored.flag(settings::Key::KeepUp));
}

void SetupDialog::activate() {
    startInTrayCombo_->setCurrentText(settings::text(settings::Key::StartInTray));
    if (watchdog_) {
        watchdog_->setPaused(true);
    }
}

void SetupDialog::setProgramOfSlotOne(const QString &program) {
    // Every check of slot 1 lands here; the same text again would only cost
    // a layout and put the cursor back to the end.
    if (slots_[0].executable->text() != program) {
        slots_[0].executable->setText(program);
    }
}

QLineEdit *SetupDialog::slotOneProgramEdit() const {
    return slots_[0].executable;
}

void SetupDialog::saveAll() {
    settings::Save save;
    for (int n = 1; n <= Slots; ++n) {
        const auto &fields = slots_[static_cast<std::size_t>(n - 1)];
        save.set(settings::Key::SlotName, n, fields.name->text());
        save.set(settings::Key::SlotProgram, n, fields.executable->text());
    }
    for (int n = 1; n <= Slots; ++n) {
        save.set(settings::Key::SlotFolder, n,
                 slots_[static_cast<std::size_t>(n - 1)].workingDirectory->text());
    }
    for (int n = 1; n <= Slots; ++n) {
        const auto &fields = slots_[static_cast<std::size_t>(n - 1)];
        if (fields.arguments->text() != fields.storedArguments) {
            save.set(settings::Key::SlotArguments, n, fields.arguments->text());
        }
        if (fields.output->text() != fields.storedOutput) {
            save.set(settings::Key::SlotOutput, n, fields.output->text());
        }
    }
    save.set(settings::Key::InternetRestartName, connectionNameEdit_->text())
        .set(settings::Key::StartInTray, startInTrayCombo_->currentText())
        .setFlag(settings::Key::InternetWatch, watchInternetCheck_->isChecked())
        .setFlag(settings::Key::InternetRestart, restartInternetCheck_->isChecked())
        .setFlag(settings::Key::KeepUp, keepUpCheck_->isChecked());
    if (!dialogs::save(this, save)) {
        // Stay open: what was typed is still here to save again.
        return;
    }
    for (auto &fields : slots_) {
        fields.storedArguments = fields.arguments->text();
        fields.storedOutput = fields.output->text();
    }
    ui::message(this, QStringLiteral("Your settings have been saved"), QStringLiteral("Tenacor"),
                QMessageBox::Information);
    close();
}

void SetupDialog::quickErase(int slot) {
    auto &fields = slots_[static_cast<std::size_t>(slot - 1)];
    fields.name->clear();
    fields.executable->clear();
    fields.workingDirectory->clear();
    fields.arguments->clear();
    fields.output->clear();
}

void SetupDialog::selectExecutable(int slot) {
    auto &fields = slots_[static_cast<std::size_t>(slot - 1)];
    if (fields.name->text().isEmpty()) {
        ui::message(this, QStringLiteral("Please enter name of application in the first field"));
        return;
    }
    pickRequest_.filters = ui::filtersFromPairs(QStringLiteral("Exe Files|*.exe*|All Files|*.*"));
    pickRequest_.executablesInFirstFilter = true;
    const auto picked = ui::filePicker().openFile(this, pickRequest_);
    if (picked.status != ui::PickResult::Status::Chosen) {
        return;
    }
    const qsizetype separator = lastSeparator(picked.path);
    fields.executable->setText(picked.path.mid(separator + 1));
    if (separator >= 0) {
        fields.workingDirectory->setText(picked.path.left(separator + 1));
    }
}

void SetupDialog::startExe(int slot) {
    const auto &fields = slots_[static_cast<std::size_t>(slot - 1)];
    if (fields.executable->text().isEmpty()) {
        ui::message(this,
                    QStringLiteral("Please use the browse button to select an executable path for "
                                   "the exe that you would like to start"),
                    QStringLiteral("Testing Start Up of Executable"), QMessageBox::Information);
        return;
    }
    // A failed start says nothing: the test start shows itself or it does not.
    launcher::start(fields.executable->text().toStdString(), fields.arguments->text().toStdString(),
                    fields.workingDirectory->text().toStdString());
}

void SetupDialog::browse(int slot) {
    pickRequest_.title = QStringLiteral("Select the working directory to");
    pickRequest_.startFolder = settings::dataFolderText();
    pickRequest_.fileName = QStringLiteral("Working Directory");
    pickRequest_.filters = ui::filtersFromPairs(QStringLiteral("Folders|*.~#!"));
    pickRequest_.executablesInFirstFilter = false;
    const auto picked = ui::filePicker().chooseFolder(this, pickRequest_);
    switch (picked.status) {
    case ui::PickResult::Status::Chosen:
        slots_[static_cast<std::size_t>(slot - 1)].workingDirectory->setText(
            withoutTrailingSeparator(picked.path));
        break;
    case ui::PickResult::Status::Cancelled:
        break;
    case ui::PickResult::Status::Failed:
        ui::message(this, QStringLiteral("Operation Failed, Please Try Again"),
                    QStringLiteral("Failure"), QMessageBox::Critical);
        break;
    }
}

void SetupDialog::browseOutput(int slot) {
    QLineEdit *output = slots_[static_cast<std::size_t>(slot - 1)].output;
    // A request of its own: a new file may be named here, not for a program.
    ui::PickRequest request;
    request.title = QStringLiteral("Output file");
    request.filters = ui::filtersFromPairs(QStringLiteral("Log Files|*.log*|All Files|*.*"));
    // A relative path is taken from the settings' folder, as Perstando reads it.
    const QDir settingsFolder(settings::settingsFolderText());
    const QFileInfo current(settingsFolder.absoluteFilePath(output->text()));
    request.startFolder =
        output->text().isEmpty() ? settingsFolder.absolutePath() : current.absolutePath();
    request.fileName = output->text().isEmpty() ? QString() : current.fileName();
    request.newFileAllowed = true;
    const auto picked = ui::filePicker().openFile(this, request);
    if (picked.status == ui::PickResult::Status::Chosen) {
        output->setText(picked.path);
    }
}

void SetupDialog::startCompanionIfKept() {
    if (settings::Stored::read().flag(settings::Key::KeepUp)) {
        core::startCompanion(core::dataFolder());
    }
}

void SetupDialog::showEvent(QShowEvent *event) {
    QWidget::showEvent(event);
    if (!firstShowDone_) {
        // The first show activates the window whether or not the desktop gives
        // it the focus.
        firstShowDone_ = true;
        ui::ActivationTracker::instance().noteActive(this);
        activate();
    }
}

void SetupDialog::closeEvent(QCloseEvent *event) {
    startCompanionIfKept();
    event->accept();
}
