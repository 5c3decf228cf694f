#pragma once
// The program without its windows: it reads the settings, runs the slot
// checks, the status panel's round, the activity animation, the connection
// watch, the keep-up companion and the error-window sweep, and reports every
// restart to the log, the alarms, the popups and the mail. The windows observe
// it through signals and call its operations.

#include "engine/log_writer.h"
#include "engine/mail_flood_guard.h"
#include "engine/settings.h"

#include <QObject>
#include <QString>

namespace engine {

class AlarmState;
class ErrorWindowSweep;
class FormTimer;
class HangWatch;
class InternetWatch;
class Mailer;
struct MailSettings;
class SlotWatcher;

class Watchdog : public QObject {
    Q_OBJECT

public:
    explicit Watchdog(QObject *parent);
    ~Watchdog() override;

    /// The load steps, once the observers are connected: reads every setting,
    /// sets the slot intervals, writes the start line and schedules the
    /// keep-up check.
    void start();
    /// Re-reads every setting with one read of the file.
    void reload();

    /// Pausing stops the status panel, the slot checks, the animation and the
    /// connection watch; resuming starts the panel, the animation and the
    /// watch again, and the panel brings back the checks of named slots.
    void setPaused(bool paused);
    void acknowledgeAlarms();
    /// Starts the keep-up companion when its switch, read afresh, is on.
    void checkKeepUp();
    /// The restart e-mail of a slot with the mail settings held now; returns
    /// at once, the e-mail going out on its own pacing. Within the e-mail
    /// span of the settings after the slot's last one, it is only counted.
    void sendRestartMail(int slot, bool failed);
    /// The e-mail switch as the e-mail dialog last showed it.
    void setMailSwitch(const QString &text);

    const settings::Snapshot &settings() const { return settings_; }
    const LogWriter &log() const { return log_; }
    SlotWatcher &slotWatcher() { return *slots_; }
    HangWatch &hangWatch() { return *hang_; }
    AlarmState &alarms() { return *alarms_; }
    InternetWatch &internetWatch() { return *internet_; }
    ErrorWindowSweep &errorWindowSweep() { return *sweep_; }
    Mailer &mailer() { return *mailer_; }

    /// The activity animation's frame: 0 before its first tick, then 1 to 9.
    int activityFrame() const { return frame_; }

signals:
    /// After every read of the settings.
    void settingsRead();
    /// After each round of the status panel.
    void panelRefreshed();
    void activityFrameChanged(int frame);
    /// A restart to show in the slot's popup.
    void popupRequested(int slot, const QString &name, bool failed);
    /// A slot gave up on its program: the popup says `sentence`.
    void giveUpPopupRequested(int slot, const QString &sentence);
    /// A program that is not responding, to show in the slot's popup.
    void notRespondingPopupRequested(int slot, const QString &name);

private:
    void refreshPanel();
    void animate();
    void report(int slot, bool failed);
    void reportGiveUp(int slot, const QString &sentence);
    MailSettings mailSettings() const;
    void reportNotResponding(int slot);
    void raiseAlarms();

    settings::Snapshot settings_;
    LogWriter log_;
    SlotWatcher *slots_ = nullptr;
    HangWatch *hang_ = nullptr;
    AlarmState *alarms_ = nullptr;
    InternetWatch *internet_ = nullptr;
    ErrorWindowSweep *sweep_ = nullptr;
    Mailer *mailer_ = nullptr;
    MailFloodGuard mailGuard_;
    FormTimer *panelTimer_ = nullptr;
    FormTimer *animationTimer_ = nullptr;
    FormTimer *keepUpTimer_ = nullptr;
    int frame_ = 0;
};

} // namespace engine
