#pragma once

#include <QWidget>

class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;

/// RestartOptions: how each slot is restarted, one row per slot and one column
/// per setting, and how often a slot's restarts are mailed.
class RestartOptionsDialog : public QWidget {
    Q_OBJECT

public:
    /// Loads the slots' names and settings from the settings file.
    explicit RestartOptionsDialog(QWidget *parent = nullptr);

    /// Writes every row and the field in one save and unloads; says which
    /// entry is no whole number and saves nothing when one is not; stays open
    /// with the choices shown when they could not be written.
    void save();

private:
    void load();

    QLabel *readProblem_ = nullptr;
    QTableWidget *table_ = nullptr;
    QLineEdit *mailMinutes_ = nullptr;
    /// The field's text as loaded.
    QString storedMailMinutes_;
    QPushButton *saveButton_ = nullptr;
    QPushButton *cancelButton_ = nullptr;
};
