#include "viewers/log_viewer.h"

#include "engine/settings.h"
#include "engine/slot_watcher.h"
#include "engine/watchdog.h"
#include "ui/message_box.h"
#include "viewers/client_area.h"

#include <QCloseEvent>
#include <QFile>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QTimer>

namespace {

/// The log's text with every line longer than LogViewer::LongestShownLine broken
/// into pieces of that length, never inside a surrogate pair.
QString shownText(const QString &text) {
    QString shown;
    qsizetype copied = 0;
    for (qsizetype lineStart = 0; lineStart < text.size();) {
        qsizetype lineEnd = text.indexOf(QLatin1Char('\n'), lineStart);
        if (lineEnd < 0) {
            lineEnd = text.size();
        }
        for (qsizetype cut = lineStart + LogViewer::LongestShownLine; cut < lineEnd;
             cut += LogViewer::LongestShownLine) {
            if (text[cut].isLowSurrogate() && ++cut == lineEnd) {
                break;
            }
            if (shown.isEmpty()) {
                shown.reserve(text.size() + text.size() / LogViewer::LongestShownLine + 1);
            }
            shown.append(QStringView(text).sliced(copied, cut - copied));
            shown.append(QLatin1Char('\n'));
            copied = cut;
        }
        lineStart = lineEnd + 1;
    }
    if (copied == 0) {
        return text;
    }
    shown.append(QStringView(text).sliced(copied));
    return shown;
}

} // namespace

void LogViewer::holdChecks(bool hold) {
    // The status panel lets them go again with its next round, which comes
    // also while the main window is in the tray.
    if (watchdog_) {
        watchdog_->slotWatcher().setTimersEnabled(!hold);
        if (hold) {
            watchdog_->refreshPanelSoon();
        }
    }
}

LogViewer::LogViewer(engine::Watchdog *watchdog, QWidget *parent)
    : QWidget(parent), watchdog_(watchdog) {
    setObjectName(QStringLiteral("Form4"));
    setWindowTitle(QStringLiteral("Perstando Log File Viewer"));

    const auto area = viewers::makeClientArea(this);
    deleteLogItem_ = area.menu->addAction(QStringLiteral("&Delete LogFile"));
    deleteLogItem_->setObjectName(QStringLiteral("mnudelete"));
    connect(deleteLogItem_, &QAction::triggered, this, &LogViewer::deleteLog);

    logText_ = new QPlainTextEdit();
    logText_->setObjectName(QStringLiteral("Text1"));
    logText_->setLineWrapMode(QPlainTextEdit::NoWrap);
    logText_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    logText_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    viewers::fillAndRecord(area, logText_, QSize(640, 420));

    holdChecks(true);
    logPath_ = settings::text(settings::Key::LogPath);
    showLog();
}

QString LogViewer::noLogMessage() {
    return QStringLiteral("File is too large to open, or no log file has been generated.");
}

void LogViewer::showLog() {
    QFile file(logPath_);
    bool shown = false;
    if (!logPath_.isEmpty() && file.open(QIODevice::ReadOnly)) {
        // One byte past the bound tells a log that is too large, even one still growing.
        const QByteArray content = file.read(MaxLogBytes + 1);
        if (file.error() == QFileDevice::NoError && content.size() <= MaxLogBytes) {
            pending_ = shownText(QString::fromUtf8(content));
            nextPiece_ = 0;
            showNextPiece();
            shown = true;
        }
    }
    if (!shown) {
        ui::message(this, noLogMessage());
    }
}

void LogViewer::showNextPiece() {
    // A large log goes in piece by piece from the event loop, so the window
    // opens at once; every piece ends at a line break.
    constexpr qsizetype PieceLength = 1 << 20;
    if (pending_.isEmpty()) {
        return; // deleted meanwhile
    }
    qsizetype end = pending_.size();
    if (end - nextPiece_ > PieceLength) {
        end = pending_.indexOf(QLatin1Char('\n'), nextPiece_ + PieceLength);
        if (end < 0) {
            end = pending_.size();
        }
    }
    const QString piece = pending_.sliced(nextPiece_, end - nextPiece_);
    if (nextPiece_ == 0) {
        logText_->setPlainText(piece);
    } else {
        logText_->appendPlainText(piece); // the break between the pieces
    }
    // Past the break; a break at the very end still gets its empty last line.
    nextPiece_ = end + 1;
    if (nextPiece_ > pending_.size()) {
        pending_.clear();
        return;
    }
    QTimer::singleShot(0, this, &LogViewer::showNextPiece);
}

void LogViewer::deleteLog() {
    if (!logPath_.isEmpty()) {
        QFile::remove(logPath_);
    }
    pending_.clear();
    logText_->clear();
}

void LogViewer::closeEvent(QCloseEvent *event) {
    QWidget::closeEvent(event);
    if (event->isAccepted()) {
        holdChecks(false);
    }
}
