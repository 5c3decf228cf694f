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
    QGroupBox *audioOptions_ = nullptr;
    QGroupBox *visualOptions_ = nullptr;
    QComboBox *audioAlarmCombo_ = nullptr;
    QComboBox *flashingScreenCombo_ = nullptr;
    QComboBox *popupCombo_ = nullptr;
    QPushButton *saveAllButton_ = nullptr;
};
