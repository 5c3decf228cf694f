#pragma once

#include <QString>
#include <QWidget>

class QAction;
class QPlainTextEdit;

namespace engine {
class Watchdog;
}

/// Form4: shows the whole log file and can delete it. While it loads, the main
/// window's slot timers are switched off; closing it switches them on.
class LogViewer : public QWidget {
    Q_OBJECT

public:
    /// `watchdog` is the running engine; none in a window tested alone.
    explicit LogViewer(engine::Watchdog *watchdog = nullptr, QWidget *parent = nullptr);

    /// Logs longer than this are not shown: the text box would freeze the program.
    static constexpr qint64 MaxLogBytes = 20LL * 1024 * 1024;
    /// A longer line is shown continued on further lines of this length: laying
    /// out one line of millions of characters takes seconds and gigabytes.
    static constexpr qsizetype LongestShownLine = 1000;

    static QString noLogMessage();

    /// Whether the rest of a large log is still being put into the view.
    bool isLoading() const { return !pending_.isEmpty(); }

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void showLog();
    void showNextPiece();
    void deleteLog();

    QString logPath_;
    QString pending_;         ///< the text being put into the view
    qsizetype nextPiece_ = 0; ///< where in it the next piece starts
    QPlainTextEdit *logText_ = nullptr;
    QAction *deleteLogItem_ = nullptr;
    void holdChecks(bool hold);
    engine::Watchdog *watchdog_ = nullptr;
};
