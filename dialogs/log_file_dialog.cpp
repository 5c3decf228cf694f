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
    mnuexit_ = menuBar->addAction(QStringLiteral("E&xit"));
    mnuexit_->setObjectName(QStringLiteral("mnuexit"));
    connect(mnuexit_, &QAction::triggered, this, &QWidget::close);

    text2_ = new QLineEdit(this);
    text2_->setObjectName(QStringLiteral("Text2"));
    ui::showCharacters(text2_, 50);
    command1_ = new QPushButton(QStringLiteral("&Browse"), this);
    command1_->setObjectName(QStringLiteral("Command1"));
    command2_ = new QPushButton(QStringLiteral("&Save"), this);
    command2_->setObjectName(QStringLiteral("Command2"));
    connect(command1_, &QPushButton::clicked, this, &LogFileDialog::browse);
    connect(command2_, &QPushButton::clicked, this, &LogFileDialog::save);

    auto *layout = new QVBoxLayout(this);
    layout->setMenuBar(menuBar);
    auto *pathRow = new QHBoxLayout;
    pathRow->addWidget(text2_, 1);
    pathRow->addWidget(command1_);
    layout->addLayout(pathRow);
    layout->addWidget(command2_, 0, Qt::AlignRight);

    text2_->setText(settings::text(settings::Key::LogPath));
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
        text2_->setText(picked.path);
    }
}

void LogFileDialog::save() {
    // Nothing checks or creates the file: the path is stored as typed.
    if (dialogs::save(this, settings::Save().set(settings::Key::LogPath, text2_->text()))) {
        close();
    }
}
