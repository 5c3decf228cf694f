#pragma once

#include <QString>
#include <QWidget>

class QLabel;
class QPushButton;

/// frmAbout: the program's title and version, and a button that starts the
/// system information tool.
class AboutBox : public QWidget {
    Q_OBJECT

public:
    explicit AboutBox(QWidget *parent = nullptr);

    /// Starts the system information tool, or says it is unavailable.
    void StartSysInfo();

    static QString unavailableMessage();

private:
    QLabel *picIcon_ = nullptr;
    QLabel *lblTitle_ = nullptr;
    QLabel *lblVersion_ = nullptr;
    QPushButton *cmdOK_ = nullptr;
    QPushButton *cmdSysInfo_ = nullptr;
};
