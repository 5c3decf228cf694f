#pragma once

#include <QWidget>

class QLabel;
class QPushButton;
class QTableWidget;

/// RestartOptions: how each slot is restarted, one row per slot and one column
/// per switch.
class RestartOptionsDialog : public QWidget {
    Q_OBJECT

public:
    /// Loads the slots' names and switches from the settings file.
    explicit RestartOptionsDialog(QWidget *parent = nullptr);

    /// Writes every row's switches in one save and unloads; stays open with
    /// the choices shown when they could not be written.
    void save();

private:
    void load();

    QLabel *readProblem_ = nullptr;
    QTableWidget *table_ = nullptr;
    QPushButton *saveButton_ = nullptr;
    QPushButton *cancelButton_ = nullptr;
};
