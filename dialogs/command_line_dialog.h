#pragma once

#include <QWidget>
#include <array>

class QComboBox;
class QGroupBox;
class QLineEdit;
class QPushButton;
class QTabWidget;

/// Form6: the command line each slot runs after its program was restarted,
/// and the switch that turns it on.
class CommandLineDialog : public QWidget {
    Q_OBJECT

public:
    /// Loads the eight commands and switches from the settings file.
    explicit CommandLineDialog(QWidget *parent = nullptr);

private:
    static constexpr int Slots = 8;
    struct SlotControls {
        QLineEdit *command = nullptr;
        QComboBox *enabled = nullptr;
    };
    void saveAll();
    void testCommandLine(int slot);
    void example();

    QGroupBox *commandLineOptions_ = nullptr;
    QTabWidget *tabs_ = nullptr;
    std::array<SlotControls, Slots> slots_{};
    QPushButton *saveAllButton_ = nullptr;
};
