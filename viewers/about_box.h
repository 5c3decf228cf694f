#pragma once

#include <QString>
#include <QWidget>

class QLabel;
class QPushButton;

/// frmAbout: the program's title and version, where its settings live, and a button that starts the
/// system information tool.
class AboutBox : public QWidget {
    Q_OBJECT

public:
    explicit AboutBox(QWidget *parent = nullptr);

    /// Starts the system information tool, or says it is unavailable.
    void startSystemInfo();

    static QString unavailableMessage();

private:
    QLabel *iconLabel_ = nullptr;
    QLabel *titleLabel_ = nullptr;
    QLabel *versionLabel_ = nullptr;
    QLabel *settingsFolderLabel_ = nullptr;
    QPushButton *okButton_ = nullptr;
    QPushButton *systemInfoButton_ = nullptr;
};
