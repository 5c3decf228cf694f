#pragma once

#include "engine/settings.h"
#include "engine/switched_timer.h"

#include <QHash>
#include <QMainWindow>
#include <QString>
#include <array>
#include <functional>

class AlarmSound;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMovie;
class QPushButton;
class QStatusBar;
class QSystemTrayIcon;

namespace engine {
class Watchdog;
}

/// Form1: the main window. It shows what the watchdog reports (the eight
/// slots, the activity animation, the pause, the connection, the alarms, the
/// popups) and forwards what the user does (pause, acknowledge, menus, tray).
class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    /// Builds the window on `watchdog`, whose load steps run once the window
    /// observes it (Watchdog::start). The other windows are made through the
    /// window registry with what they need of the watchdog.
    explicit MainWindow(engine::Watchdog &watchdog, QWidget *parent = nullptr);
    ~MainWindow() override;

    /// Re-reads the settings and clears the pause; runs when the window
    /// becomes active from another window of the program and at first show.
    void activate();

    engine::Watchdog &watchdog() { return *watchdog_; }
    /// The activity animation's frame: 0 before its first step, then 1 to 9.
    int activityFrame() const { return frame_; }
    /// Slot N's (1 to 8) status line and name as shown.
    QLineEdit *slotStatus(int slot) const;
    QString slotName(int slot) const;

    void acknowledgeAlarms();
    /// Shows slot N's restart popup (Display1 ... Display8), created with the
    /// slot's name and the time when it is not open, else only brought forward.
    void showRestartPopup(int slot, bool restartFailed = false);
    /// The tray icon's restore event: the window comes back, the icon goes.
    void restoreFromTray();

    /// Runs the handler of the menu item named `itemName` (its objectName).
    void runMenuItem(const QString &itemName);
    /// Installs or replaces the handler of the menu item named `itemName`.
    void setMenuHandler(const QString &itemName, const std::function<void()> &handler);
    /// A toolbar click: the key is compared exactly with the keys of the buttons.
    void toolbarClick(const QString &key);

    /// Window caption at rest: the program's name followed by 47 blanks.
    static QString restingCaption();

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void buildSlots(QWidget *central);
    void buildControls(QWidget *central, class QBoxLayout *bottom);
    void buildMenus();
    void buildToolbar();
    void registerMenuHandlers();
    void installMenuShortcutsFirst();
    void buildStatusBar();
    void buildTrayIcon();
    void prepareAlarms();
    void registerWindowFactories();
    void observeWatchdog();
    void showSettings();
    void showPanel();
    void showNextActivityFrame();
    void sendToTray();
    /// The pause box, the caption and the tray tool tip.
    void showPause();
    void showTrayToolTip();
    /// Brings the status lines up to date after a time hidden.
    void showStatusLine(int slot) const;
    void showStatusLines() const;
    /// Follows whether the window can be seen (shown and not minimized): the
    /// panel, the animation and the clock tick only then.
    void setShown(bool shown);
    QString withSettingsProblem(const QString &toolTip) const;
    void writeStartMode(bool inTray);
    void showHelp();

    struct SlotView {
        QGroupBox *frame = nullptr;
        QLineEdit *status = nullptr;
        QLabel *commandPicture = nullptr;
    };
    std::array<SlotView, settings::SlotCount> slotViews_{};
    mutable bool statusLinesStale_ = false;
    std::function<void()> showClock_;
    class QTimer *clockTimer_ = nullptr;
    bool shown_ = false;
    std::array<QLabel *, 9> activityPictures_{};
    QLabel *internetPicture_ = nullptr;
    QLabel *warningPicture_ = nullptr;
    QMovie *warningMovie_ = nullptr;
    QCheckBox *pauseBox_ = nullptr;
    QPushButton *acknowledgeButton_ = nullptr;
    QPushButton *trayButton_ = nullptr;
    QStatusBar *statusBar_ = nullptr;
    QSystemTrayIcon *trayIcon_ = nullptr;
    AlarmSound *alarmSound_ = nullptr;

    engine::SwitchedTimer *flashTimer_ = nullptr;
    engine::SwitchedTimer *trayTimer_ = nullptr;

    engine::Watchdog *watchdog_ = nullptr;
    int frame_ = 0;
    QHash<QString, std::function<void()>> menuHandlers_;
    bool firstShowDone_ = false;
};
