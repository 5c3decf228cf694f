#pragma once

#include <QWidget>

class QAction;
class QLineEdit;
class QPushButton;

/// Form3: chooses the file restart events are logged to.
class LogFileDialog : public QWidget {
    Q_OBJECT

public:
    /// Loads the stored log path into Text2.
    explicit LogFileDialog(QWidget *parent = nullptr);

    /// Fills Text2 from the file picker; a cancelled picker changes nothing.
    void browse();
    /// Stores Text2 as typed and unloads; stays open when it could not be stored.
    void save();

private:
    QLineEdit *text2_ = nullptr;
    QPushButton *command1_ = nullptr;
    QPushButton *command2_ = nullptr;
    QAction *mnuexit_ = nullptr;
};
