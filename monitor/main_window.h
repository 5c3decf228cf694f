#pragma once

#include "engine/form_timer.h"
#include "ui/main_window_link.h"

#include <QHash>
#include <QMainWindow>
#include <QString>
#include <array>
#include <functional>

class AlarmSound;
class InternetWatch;
class QAction;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMovie;
class QPushButton;
class QStatusBar;
class QSystemTrayIcon;
class QToolBar;
class WatchCycle;
class RestartMailer;

/// Number of watched applications.
inline constexpr int SlotCount = 8;

/// The settings the main window holds between re-reads, as read.
struct HeldSettings {
    QString startMode;
    std::array<QString, SlotCount> commandLine;
    std::array<QString, SlotCount> commandSwitch;
    std::array<QString, SlotCount> workingDirectory;
    std::array<QString, SlotCount> interval;
    QString logPath;
    QString sendTo;
    QString port;
    QString address;
    QString server;
    QString visual;
    QString pop;
    QString audio;
    QString monitor;
    QString restart;
    QString restartName;
    QString alive;
    QString soundFile;
    QString pictureFile;
};

/// Form1: the main window and the program. It owns every timer, holds the
/// settings the monitoring uses and shows the eight slots.
class Form1 : public QMainWindow, public ui::MainWindowLink {
    Q_OBJECT

public:
    /// Runs the load steps: reads every setting, sets the slot intervals and
    /// writes the start line. The single-instance check happens before.
    explicit Form1(QWidget *parent = nullptr);
    ~Form1() override;

    /// Re-reads the settings and clears the pause; runs when the window
    /// becomes active from another window of the program and at first show.
    void activate();

    const HeldSettings &held() const { return held_; }

    /// Caption of slot N's frame (1-based): the slot's name.
    QString slotName(int slot) const;
    engine::FormTimer *slotTimer(int slot) const;
    QLineEdit *slotStatus(int slot) const;

    /// The e-mail switch as last loaded (the hidden box Text9).
    QString notificationSwitch() const;
    WatchCycle &watchCycle() { return *watchCycle_; }

    /// Appends one entry to the log file; false when it could not be written.
    bool appendLog(const QStringList &lines) const;

    /// The restart e-mail of slot N (1-based) with the mail settings held now;
    /// returns about 5 s later, the event loop running meanwhile.
    void sendRestartMail(int slot, bool restartFailed);

    // ui::MainWindowLink
    void pauseChecking() override;
    void setNotificationSwitch(const QString &value) override;
    void setSlotTimersEnabled(bool enabled) override;

    /// Alarm operations: start the visual alarm (warning picture shown, window
    /// flashing), start the audio alarm (the sound repeats), acknowledge both.
    void startVisualAlarm();
    void startAudioAlarm();
    void acknowledgeAlarms();
    /// Shows slot N's restart popup (Display1 ... Display8), created with the
    /// slot's name and the time when it is not open, else only brought forward.
    /// When `restartFailed`, it says the program could not be restarted.
    void showRestartPopup(int slot, bool restartFailed = false);

    /// The tray icon's restore event: the window comes back, the icon goes.
    void restoreFromTray();

    /// Starts the keep-up companion when the `alive` switch, read afresh, is "On".
    void LinkmindCheck();
    /// The connection watch that Timer11 runs.
    InternetWatch *internetWatch() const { return internetWatch_; }

    /// Runs the handler of the menu item named `itemName` (its objectName).
    void runMenuItem(const QString &itemName);
    /// Installs or replaces the handler of the menu item named `itemName`.
    void setMenuHandler(const QString &itemName, std::function<void()> handler);
    /// A toolbar click: the key is compared exactly with the keys of the buttons.
    void toolbarClick(const QString &key);

    /// Asks the topmost window whose title contains `Title`, ignoring case, to
    /// close; an empty text matches any window. Nothing is reported.
    void KillWin(const QString &Title);

    /// The hourglass frame shown, 0 before the first tick, then 1 to 9.
    int anistate() const { return anistate_; }

    /// Window caption at rest: the program's name followed by 47 blanks.
    static QString restingCaption();

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void buildSlots(QWidget *central);
    void buildMenus();
    void buildToolbar();
    void buildStatusBar();
    // The groups of settings Load and Activate read, each in its own order.
    static QString readValue(const char *section, const char *key);
    void readStartMode();
    void readCommandLines();
    void readNotificationSwitch();
    void readSlotNames();
    void readWorkingDirectories();
    void readLogPath();
    void readMailSettings();
    void readAlertSwitches();
    void readInternetSettings();
    void readSlotIntervals();
    void applyInterval(int slot, const QString &text);
    /// Says when the settings file exists but cannot be read: everything then
    /// reads as empty and nothing would be watched without a word.
    void reportUnreadableSettings();

    void registerMenuHandlers();

    void timer1Tick();
    void timer10Tick();
    void sendToTray();

    void prepareAlarmControls(const QString &folder);
    void buildTrayIcon();
    void pausePoll();
    QString withSettingsProblem(const QString &toolTip) const;
    void writeStartMode(const QString &value);
    void showHelp();

    struct SlotView {
        QGroupBox *frame = nullptr;
        QLineEdit *status = nullptr;
        engine::FormTimer *timer = nullptr;
        QLabel *commandPicture = nullptr;
    };
    std::array<SlotView, SlotCount> slots_{};
    HeldSettings held_;

    QLineEdit *text9_ = nullptr;
    QCheckBox *check1_ = nullptr;
    QPushButton *command1_ = nullptr;
    QPushButton *command2_ = nullptr;
    std::array<QLabel *, 9> hourglass_{};
    QLabel *picture10_ = nullptr;
    QLabel *gif89a1_ = nullptr;
    QStatusBar *statusBar1_ = nullptr;
    QLabel *statusDate_ = nullptr;
    QLabel *statusTime_ = nullptr;
    QToolBar *toolbar1_ = nullptr;
    QSystemTrayIcon *trayIcon1_ = nullptr;
    AlarmSound *mmControl1_ = nullptr;
    QMovie *warning_ = nullptr;

    engine::FormTimer *timer1_ = nullptr;
    engine::FormTimer *timer10_ = nullptr;
    engine::FormTimer *timer11_ = nullptr;
    engine::FormTimer *timer12_ = nullptr;
    engine::FormTimer *timer13_ = nullptr;
    engine::FormTimer *timer14_ = nullptr;
    engine::FormTimer *flashtmr_ = nullptr;
    engine::FormTimer *icon_ = nullptr;
    engine::FormTimer *icontray_ = nullptr;

    RestartMailer *mailer_ = nullptr;
    InternetWatch *internetWatch_ = nullptr;

    QHash<QString, std::function<void()>> menuHandlers_;
    WatchCycle *watchCycle_ = nullptr;
    int anistate_ = 0;
    bool firstShowDone_ = false;
    QString settingsProblem_;
};
