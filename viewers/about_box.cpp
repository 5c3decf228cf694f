#include "viewers/about_box.h"

#include "core/launcher.h"
#include "core/system_info.h"
#include "engine/settings.h"
#include "ui/message_box.h"
#include "ui/window_fit.h"

#include <QGridLayout>
#include <QIcon>
#include <QLabel>
#include <QPushButton>

namespace {

QString versionText() {
    return QStringLiteral("Version %1.%2.%3")
        .arg(PERSTANDO_VERSION_MAJOR)
        .arg(PERSTANDO_VERSION_MINOR)
        .arg(PERSTANDO_VERSION_PATCH);
}

} // namespace

AboutBox::AboutBox(QWidget *parent) : QWidget(parent) {
    setObjectName(QStringLiteral("frmAbout"));

    iconLabel_ = new QLabel(this);
    iconLabel_->setObjectName(QStringLiteral("picIcon"));
    iconLabel_->setPixmap(QIcon(QStringLiteral(":/pictures/perstando.png")).pixmap(48, 48));
    titleLabel_ = new QLabel(QStringLiteral("Perstando"), this);
    titleLabel_->setObjectName(QStringLiteral("lblTitle"));
    QFont titleFont = titleLabel_->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.5);
    titleFont.setBold(true);
    titleLabel_->setFont(titleFont);
    versionLabel_ = new QLabel(QStringLiteral("Version"), this);
    versionLabel_->setObjectName(QStringLiteral("lblVersion"));
    // An installed copy keeps its settings in the user's folder, not beside
    // the program: this is where to find them.
    settingsFolderLabel_ =
        new QLabel(QStringLiteral("Settings folder: ") + settings::settingsFolderText(), this);
    settingsFolderLabel_->setObjectName(QStringLiteral("lblSettingsFolder"));
    settingsFolderLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    okButton_ = new QPushButton(QStringLiteral("OK"), this);
    okButton_->setObjectName(QStringLiteral("cmdOK"));
    okButton_->setDefault(true);
    systemInfoButton_ = new QPushButton(QStringLiteral("&System Info..."), this);
    systemInfoButton_->setObjectName(QStringLiteral("cmdSysInfo"));

    auto *grid = new QGridLayout(this);
    grid->addWidget(iconLabel_, 0, 0, 2, 1, Qt::AlignTop);
    grid->addWidget(titleLabel_, 0, 1, 1, 2);
    grid->addWidget(versionLabel_, 1, 1, 1, 2);
    grid->addWidget(settingsFolderLabel_, 2, 1, 1, 2);
    grid->setRowStretch(3, 1);
    grid->setColumnStretch(1, 1);
    grid->addWidget(okButton_, 4, 2);
    grid->addWidget(systemInfoButton_, 5, 2);

    connect(okButton_, &QPushButton::clicked, this, &QWidget::close);
    connect(systemInfoButton_, &QPushButton::clicked, this, &AboutBox::startSystemInfo);

    // Load.
    setWindowTitle(QStringLiteral("About ") + QStringLiteral("Tenacor "));
    titleLabel_->setText(ui::programTitle());
    versionLabel_->setText(versionText());
    ui::fitDialog(this);
}

QString AboutBox::unavailableMessage() {
    return QStringLiteral("System Information Is Unavailable At This Time");
}

void AboutBox::startSystemInfo() {
    std::string commandLine = core::systemInfoTool();
    if (commandLine.empty()) {
        ui::message(this, unavailableMessage());
        return;
    }
    // Quoted, a path with blanks stays one program for the launcher's split.
    if (commandLine.find(' ') != std::string::npos) {
        commandLine = '"' + commandLine + '"';
    }
    if (!launcher::runCommandLine(commandLine)) {
        ui::message(this, unavailableMessage());
    }
}
