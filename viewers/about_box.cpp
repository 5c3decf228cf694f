#include "viewers/about_box.h"

#include "core/launcher.h"
#include "core/system_info.h"
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

    picIcon_ = new QLabel(this);
    picIcon_->setObjectName(QStringLiteral("picIcon"));
    picIcon_->setPixmap(QIcon(QStringLiteral(":/pictures/perstando.png")).pixmap(48, 48));
    lblTitle_ = new QLabel(QStringLiteral("Perstando"), this);
    lblTitle_->setObjectName(QStringLiteral("lblTitle"));
    QFont titleFont = lblTitle_->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.5);
    titleFont.setBold(true);
    lblTitle_->setFont(titleFont);
    lblVersion_ = new QLabel(QStringLiteral("Version"), this);
    lblVersion_->setObjectName(QStringLiteral("lblVersion"));
    cmdOK_ = new QPushButton(QStringLiteral("OK"), this);
    cmdOK_->setObjectName(QStringLiteral("cmdOK"));
    cmdOK_->setDefault(true);
    cmdSysInfo_ = new QPushButton(QStringLiteral("&System Info..."), this);
    cmdSysInfo_->setObjectName(QStringLiteral("cmdSysInfo"));

    auto *grid = new QGridLayout(this);
    grid->addWidget(picIcon_, 0, 0, 2, 1, Qt::AlignTop);
    grid->addWidget(lblTitle_, 0, 1, 1, 2);
    grid->addWidget(lblVersion_, 1, 1, 1, 2);
    grid->setRowStretch(2, 1);
    grid->setColumnStretch(1, 1);
    grid->addWidget(cmdOK_, 3, 2);
    grid->addWidget(cmdSysInfo_, 4, 2);

    connect(cmdOK_, &QPushButton::clicked, this, &QWidget::close);
    connect(cmdSysInfo_, &QPushButton::clicked, this, &AboutBox::StartSysInfo);

    // Load.
    setWindowTitle(QStringLiteral("About ") + QStringLiteral("Tenacor "));
    lblTitle_->setText(ui::programTitle());
    lblVersion_->setText(versionText());
    ui::fitDialog(this);
}

QString AboutBox::unavailableMessage() {
    return QStringLiteral("System Information Is Unavailable At This Time");
}

void AboutBox::StartSysInfo() {
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
