#pragma once
// The program without its windows: it reads the settings, runs the slot
// checks, the health probes and limits, the status panel's round, the activity animation, the
// connection watch, the keep-up companion, the error-window sweep, the heartbeat and the metrics
// address, holds the pause, and attaches the consumers of the event stream (counters, command-line
// action, alarms, popups, log, e-mail, webhook, desktop notification) in the order they run. app/
// builds it; the windows observe it through signals and call its operations.

#include "engine/event_stream.h"
#include "engine/log_writer.h"
#include "engine/mail_flood_guard.h"
#include "engine/settings.h"
#include "engine/watch_counters.h"
#include "engine/webhook.h"

#include <QObject>
#include <QSet>
#include <QString>

#include <optional>

class QTimer;

namespace engine {

class AlarmState;
class DesktopNotifier;
class ErrorWindowSweep;
class SwitchedTimer;
class HangWatch;
class Heartbeat;
class HealthWatch;
class InternetWatch;
class Mailer;
class MetricsServer;
struct MailSettings;
class SlotWatcher;

class Watchdog : public QObject {
    Q_OBJECT

public:
    explicit Watchdog(QObject *parent = nullptr);
    ~Watchdog() override;

    /// The load steps, once the observers are connected: reads every setting,
    /// sets the slot intervals, writes the start line and schedules the
    /// keep-up check.
    void start();
    /// Re-reads every setting with one read of the file.
    void reload();
    /// Looks the webhook's token up again (when `[webhook] url` is set), as
    /// after a new one was stored. Alerts wait for the answer, which is bounded.
    void reloadWebhookToken();

    /// Pausing stops the status panel, the slot checks, the animation and the
    /// connection watch; resuming starts the panel, the animation and the
    /// watch again, brings back the checks of named slots at once and looks
    /// the metrics token up again.
    void setPaused(bool paused);
    bool paused() const { return paused_; }
    /// Whether a window shows the status panel. Hidden, the panel's and the
    /// animation's timers keep their switches but do not tick; shown again,
    /// the panel is brought up to date at once.
    void setShown(bool shown);
    bool shown() const { return shown_; }
    /// The status panel's round: the named slots' checks, the placeholders,
    /// the animation and the connection watch as the settings say.
    void refreshPanel();
    /// One round of the panel within its interval, also while no window
    /// shows it: checks held for a moment are let go again.
    void refreshPanelSoon();
    void acknowledgeAlarms();
    /// Asks for the end of the program; the windows end it as File > Exit does.
    void requestQuit();
    /// Starts the keep-up companion when its switch, read afresh, is on.
    void checkKeepUp();
    /// The restart e-mail of a slot with the mail settings held now; returns
    /// at once, the e-mail going out on its own pacing. Within the e-mail
    /// span of the settings after the slot's last one, it is only counted.
    void sendRestartMail(int slot, bool failed, const QString &exitCause = {},
                         const QStringList &output = {});
    /// The e-mail switch as the e-mail dialog last showed it; a read of the
    /// settings sets it again.
    void setMailSwitch(const QString &text);
    bool mailSwitch() const { return mailOn_; }

    const settings::Snapshot &settings() const { return settings_; }
    const LogWriter &log() const { return log_; }
    const EventStream &events() const { return events_; }
    SlotWatcher &slotWatcher() { return *slots_; }
    const SlotWatcher &slotWatcher() const { return *slots_; }
    HangWatch &hangWatch() { return *hang_; }
    HealthWatch &healthWatch() { return *health_; }
    const HealthWatch &healthWatch() const { return *health_; }
    AlarmState &alarms() { return *alarms_; }
    const AlarmState &alarms() const { return *alarms_; }
    InternetWatch &internetWatch() { return *internet_; }
    const InternetWatch &internetWatch() const { return *internet_; }
    Mailer &mailer() { return *mailer_; }
    /// Sends the e-mail window's test e-mails.
    Mailer &testMailer() { return *testMailer_; }
    /// Posts the alerts to the web address of the settings.
    WebhookSender &webhook() { return *webhook_; }
    const WebhookSender &webhook() const { return *webhook_; }
    /// Shows the alerts as desktop notifications; made on first use, so that
    /// with notifications off the session bus is never touched.
    DesktopNotifier &notifier();
    /// Restarts and alerts given up on since the start, for the metrics.
    const WatchCounters &counters() const { return counters_; }
    /// Pings the machine's state to a push monitor when `[heartbeat] url` is set.
    Heartbeat &heartbeat() { return *heartbeat_; }

signals:
    /// After the load steps.
    void started();
    /// After every read of the settings.
    void settingsRead();
    /// After each round of the status panel.
    void panelRefreshed();
    /// A step of the activity animation, while slots are checked.
    void activityTicked();
    void pausedChanged(bool paused);
    void quitRequested();
    /// A restart to show in the slot's popup.
    void popupRequested(int slot, const QString &name, bool failed);
    /// A slot gave up on its program: the popup says `sentence`.
    void giveUpPopupRequested(int slot, const QString &sentence);
    /// A program that is not responding, to show in the slot's popup.
    void notRespondingPopupRequested(int slot, const QString &name);
    /// A program that is not healthy or over its limit: the popup says `sentence`.
    void unhealthyPopupRequested(int slot, const QString &sentence);
    /// "Open Log" was pressed on a desktop notification.
    void openLogRequested();

private:
    void attachConsumers();
    void animate();
    void runCommandLine(const Event &event);
    void showPopup(const Event &event);
    void mail(const Event &event);
    void postWebhook(const Event &event);
    /// A loss of the connection that was told before it came back: not for the channels.
    bool repeatedLoss(const Event &event) const;
    /// `event` as a channel tells it, or nothing when `guard` holds a restart
    /// back within the e-mail span.
    std::optional<Alert> channelAlert(const Event &event, MailFloodGuard &guard) const;
    /// Takes the webhook settings of a fresh read; what cannot be used is logged once.
    void applyWebhook();
    void notifyDesktop(const Event &event);
    /// Takes the notification settings of a fresh read; unknown event names are logged once.
    void applyNotify();
    void applyHeartbeat();
    /// Serves the metrics where `[metrics] listen` says; made on first use,
    /// so that without the key no port is opened.
    void applyMetrics();
    MailSettings mailSettings() const;

    settings::Snapshot settings_;
    bool mailOn_ = false;
    bool paused_ = false;
    bool shown_ = true;
    LogWriter log_;
    EventStream events_;
    WatchCounters counters_;
    SlotWatcher *slots_ = nullptr;
    HangWatch *hang_ = nullptr;
    HealthWatch *health_ = nullptr;
    AlarmState *alarms_ = nullptr;
    InternetWatch *internet_ = nullptr;
    ErrorWindowSweep *sweep_ = nullptr;
    Mailer *mailer_ = nullptr;
    Mailer *testMailer_ = nullptr;
    MailFloodGuard mailGuard_;
    WebhookSender *webhook_ = nullptr;
    /// The webhook's own count of restarts held back within the e-mail span.
    MailFloodGuard webhookGuard_;
    QSet<Event::Kind> webhookKinds_;
    QString webhookProblem_; ///< logged once until it changes
    bool connectionLost_ = false;
    bool lossToldBefore_ = false;
    DesktopNotifier *notifier_ = nullptr;
    Heartbeat *heartbeat_ = nullptr;
    MetricsServer *metricsServer_ = nullptr;
    /// The notifications' own count of restarts held back within the e-mail span.
    MailFloodGuard notifyGuard_;
    QSet<Event::Kind> notifyKinds_;
    QString notifyProblem_; ///< logged once until it changes
    /// The missing server has been logged; cleared once a notification is shown.
    bool notifyDownLogged_ = false;
    WebhookSettings webhookSettings_;
    /// Alerts that wait for the token's lookup, so none goes out without it.
    QList<Alert> heldAlerts_;
    bool tokenPending_ = false;
    quint64 tokenLookups_ = 0; ///< tells the latest lookup's answer from older ones
    QString tokenProblem_;     ///< logged once until a read succeeds
    SwitchedTimer *panelTimer_ = nullptr;
    SwitchedTimer *animationTimer_ = nullptr;
    SwitchedTimer *keepUpTimer_ = nullptr;
    /// Hidden this long, the working set is trimmed once.
    static constexpr int TrimAfterMs = 10'000;
    QTimer *trimTimer_ = nullptr;
};

} // namespace engine
