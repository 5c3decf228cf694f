#pragma once

#include <QWidget>

class QAction;
class QLineEdit;
class QPushButton;

/// Form3: chooses the file restart events are logged to.
class LogFileDialog : public QWidget {
    Q_OBJECT

public:
    /// Loads the stored log path into the path field.
    explicit LogFileDialog(QWidget *parent = nullptr);

    /// Fills the path field from the file picker; a cancelled picker changes nothing.
    void browse();
    /// Stores the path field as typed and unloads; stays open when it could not be stored.
    void save();

private:
    QLineEdit *logPathEdit_ = nullptr;
    QPushButton *browseButton_ = nullptr;
    QPushButton *saveButton_ = nullptr;
    QAction *exitItem_ = nullptr;
};
