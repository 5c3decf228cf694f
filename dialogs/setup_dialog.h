#pragma once

#include "ui/file_picker.h"

#include <QWidget>
#include <array>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;

namespace engine {
class Watchdog;
}

/// Form2: the setup dialog, where each slot's program, name and working
/// directory and the internet options are edited and saved.
class SetupDialog : public QWidget {
    Q_OBJECT

public:
    /// Loads every field from the settings file; the window stays hidden
    /// until shown, so the slot-1 check can load it without showing it.
    /// `watchdog` is the running engine; none in a window tested alone.
    explicit SetupDialog(engine::Watchdog *watchdog = nullptr, QWidget *parent = nullptr);

    /// Starts the keep-up companion when the saved setting asks for it.
    void startCompanionIfKept();

    /// Re-reads the start mode and pauses the main window's checking; runs at
    /// the first show and whenever the window becomes active from another
    /// window of the program.
    void activate();

    /// The slot-1 check writes the saved program of slot 1 here on each tick.
    void setProgramOfSlotOne(const QString &program);
    QLineEdit *slotOneProgramEdit() const;

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    static constexpr int Slots = 8;
    struct SlotFields {
        QLineEdit *name = nullptr;
        QLineEdit *executable = nullptr;
        QLineEdit *workingDirectory = nullptr;
        QLineEdit *arguments = nullptr;
        QLineEdit *output = nullptr;
        /// As loaded: an unchanged field is not written.
        QString storedArguments;
        QString storedOutput;
    };

    QWidget *buildSlotPage(int slot);
    QWidget *buildInternetPage();
    void load();
    void saveAll();
    void quickErase(int slot);
    void selectExecutable(int slot);
    void startExe(int slot);
    void browse(int slot);
    void browseOutput(int slot);

    std::array<SlotFields, Slots> slots_{};
    QTabWidget *tabs_ = nullptr;
    QGroupBox *internetOptions_ = nullptr;
    QCheckBox *watchInternetCheck_ = nullptr;
    QCheckBox *restartInternetCheck_ = nullptr;
    QCheckBox *keepUpCheck_ = nullptr;
    QLineEdit *connectionNameEdit_ = nullptr;
    QLabel *keepUpNote_ = nullptr;
    QComboBox *startInTrayCombo_ = nullptr;
    QPushButton *saveAllButton_ = nullptr;
    /// The one file dialog all picker buttons share: what a button sets stays
    /// set for the next use.
    ui::PickRequest pickRequest_;
    bool firstShowDone_ = false;
    engine::Watchdog *watchdog_ = nullptr;
};
