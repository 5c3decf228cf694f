#include "dialogs/log_file_dialog.h"

#include "dialogs/save_settings.h"
#include "engine/settings.h"
#include "ui/file_picker.h"
#include "ui/window_fit.h"
#include "ui/window_registry.h"

#include <QAction>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QVBoxLayout>

LogFileDialog::LogFileDialog(QWidget *parent) : QWidget(parent, Qt::Window) {
    setObjectName(QStringLiteral("Form3"));
    setWindowTitle(QStringLiteral("Log File Setup"));
    ui::WindowRegistry::instance().add(this);

    auto *menuBar = new QMenuBar(this);
    exitItem_ = menuBar->addAction(QStringLiteral("E&xit"));
    exitItem_->setObjectName(QStringLiteral("mnuexit"));
    connect(exitItem_, &QAction::triggered, this, &QWidget::close);

    logPathEdit_ = new QLineEdit(this);
    logPathEdit_->setObjectName(QStringLiteral("Text2"));
    ui::showCharacters(logPathEdit_, 50);
    browseButton_ = new QPushButton(QStringLiteral("&Browse"), this);
    browseButton_->setObjectName(QStringLiteral("Command1"));
    saveButton_ = new QPushButton(QStringLiteral("&Save"), this);
    saveButton_->setObjectName(QStringLiteral("Command2"));
    connect(browseButton_, &QPushButton::clicked, this, &LogFileDialog::browse);
    connect(saveButton_, &QPushButton::clicked, this, &LogFileDialog::save);

    auto *layout = new QVBoxLayout(this);
    layout->setMenuBar(menuBar);
    auto *pathRow = new QHBoxLayout;
    pathRow->addWidget(logPathEdit_, 1);
    pathRow->addWidget(browseButton_);
    layout->addLayout(pathRow);
    layout->addWidget(saveButton_, 0, Qt::AlignRight);

    logPathEdit_->setText(settings::text(settings::Key::LogPath));
    ui::fitDialog(this);
}

void LogFileDialog::browse() {
    ui::PickRequest request;
    // "*.log*" also lists rotated logs such as watch.log1.
    request.filters = ui::filtersFromPairs(QStringLiteral("Log Files|*.log*|All Files|*.*"));
    // The log is created on its first entry, so a new name is fine.
    request.newFileAllowed = true;
    const auto picked = ui::filePicker().openFile(this, request);
    if (picked.status == ui::PickResult::Status::Chosen) {
        logPathEdit_->setText(picked.path);
    }
}

void LogFileDialog::save() {
    // Nothing checks or creates the file: the path is stored as typed.
    if (dialogs::save(this, settings::Save().set(settings::Key::LogPath, logPathEdit_->text()))) {
        close();
    }
}
