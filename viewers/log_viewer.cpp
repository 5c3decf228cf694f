#include "viewers/log_viewer.h"

#include "ui/main_window_link.h"
#include "ui/message_box.h"
#include "ui/settings.h"
#include "viewers/client_area.h"

#include <QCloseEvent>
#include <QFile>
#include <QMenuBar>
#include <QPlainTextEdit>

namespace {

void setSlotTimersEnabled(bool enabled) {
    if (auto *main = ui::mainWindowLink()) {
        main->setSlotTimersEnabled(enabled);
    }
}

} // namespace

Form4::Form4(QWidget *parent) : QWidget(parent) {
    setObjectName(QStringLiteral("Form4"));
    setWindowTitle(QStringLiteral("Perstando Log File Viewer"));

    const auto area = viewers::makeClientArea(this);
    mnudelete_ = area.menu->addAction(QStringLiteral("&Delete LogFile"));
    mnudelete_->setObjectName(QStringLiteral("mnudelete"));
    connect(mnudelete_, &QAction::triggered, this, &Form4::deleteLog);

    text1_ = new QPlainTextEdit();
    text1_->setObjectName(QStringLiteral("Text1"));
    text1_->setLineWrapMode(QPlainTextEdit::NoWrap);
    text1_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    text1_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    viewers::fillAndRecord(area, text1_, QSize(640, 420));

    setSlotTimersEnabled(false);
    logPath_ = ui::readSetting(QStringLiteral("log"), QStringLiteral("path"));
    showLog();
}

QString Form4::noLogMessage() {
    return QStringLiteral("File is too large to open, or no log file has been generated.");
}

void Form4::showLog() {
    QFile file(logPath_);
    bool shown = false;
    if (!logPath_.isEmpty() && file.open(QIODevice::ReadOnly)) {
        // One byte past the bound tells a log that is too large, even one still growing.
        const QByteArray content = file.read(MaxLogBytes + 1);
        if (file.error() == QFileDevice::NoError && content.size() <= MaxLogBytes) {
            text1_->setPlainText(QString::fromUtf8(content));
            shown = true;
        }
    }
    if (!shown) {
        ui::message(this, noLogMessage());
    }
}

void Form4::deleteLog() {
    if (!logPath_.isEmpty()) {
        QFile::remove(logPath_);
    }
    text1_->clear();
}

void Form4::closeEvent(QCloseEvent *event) {
    QWidget::closeEvent(event);
    if (event->isAccepted()) {
        setSlotTimersEnabled(true);
    }
}
