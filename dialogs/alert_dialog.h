#pragma once

#include <QWidget>

class QComboBox;
class QGroupBox;
class QPushButton;

/// Form7: switches the three ways a restart is announced (sound, flashing
/// main window, popup).
class AlertDialog : public QWidget {
    Q_OBJECT

public:
    /// Loads the three switches from the settings file.
    explicit AlertDialog(QWidget *parent = nullptr);

    /// Writes the three switches and unloads; stays open when they could not
    /// be written.
    void saveAll();

private:
    QGroupBox *frame1_ = nullptr;
    QGroupBox *frame2_ = nullptr;
    QComboBox *combo1_ = nullptr;
    QComboBox *combo2_ = nullptr;
    QComboBox *combo3_ = nullptr;
    QPushButton *command1_ = nullptr;
};
