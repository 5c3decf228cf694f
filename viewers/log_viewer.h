#pragma once

#include <QString>
#include <QWidget>

class QAction;
class QPlainTextEdit;

/// Form4: shows the whole log file and can delete it. While it loads, the main
/// window's slot timers are switched off; closing it switches them on.
class Form4 : public QWidget {
    Q_OBJECT

public:
    explicit Form4(QWidget *parent = nullptr);

    /// Logs longer than this are not shown: the text box would freeze the program.
    static constexpr qint64 MaxLogBytes = 20LL * 1024 * 1024;

    static QString noLogMessage();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void showLog();
    void deleteLog();

    QString logPath_;
    QPlainTextEdit *text1_ = nullptr;
    QAction *mnudelete_ = nullptr;
};
