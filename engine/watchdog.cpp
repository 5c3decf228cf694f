#include "engine/watchdog.h"

#include "core/companion.h"
#include "core/launcher.h"
#include "core/program_folder.h"
#include "core/working_set.h"
#include "engine/alarm_state.h"
#include "engine/alert_events.h"
#include "engine/desktop_notifier.h"
#include "engine/error_window_sweep.h"
#include "engine/hang_watch.h"
#include "engine/health_watch.h"
#include "engine/heartbeat.h"
#include "engine/internet_watch.h"
#include "engine/mail_password.h"
#include "engine/mailer.h"
#include "engine/metrics.h"
#include "engine/metrics_server.h"
#include "engine/slot_watcher.h"
#include "engine/switched_timer.h"
#include "engine/webhook.h"
#include "engine/webhook_token.h"

#include <QSysInfo>
#include <QTimer>

#include <cstdio>
#include <optional>
#include <utility>
#include <vector>

namespace engine {

Watchdog::Watchdog(QObject *parent) : QObject(parent) {
    setObjectName(QStringLiteral("Watchdog"));
    panelTimer_ = new SwitchedTimer(QStringLiteral("Timer1"), 500, true, this);
    animationTimer_ = new SwitchedTimer(QStringLiteral("Timer10"), 500, true, this);
    keepUpTimer_ = new SwitchedTimer(QStringLiteral("Timer13"), 4000, false, this);
    // Out of sight for a while, the pages only start-up and the windows used
    // are handed back: in the tray, days go by on a few small paths.
    trimTimer_ = new QTimer(this);
    trimTimer_->setObjectName(QStringLiteral("trimTimer"));
    trimTimer_->setSingleShot(true);
    trimTimer_->setInterval(TrimAfterMs);
    connect(trimTimer_, &QTimer::timeout, this, [] { workingset::trim(); });
    slots_ = new SlotWatcher(events_, this);
    hang_ = new HangWatch(*slots_, this);
    health_ = new HealthWatch(*slots_, this);
    alarms_ = new AlarmState(this);
    internet_ = new InternetWatch(events_, this);
    sweep_ = new ErrorWindowSweep(events_, this);
    mailer_ = new Mailer([this](const QStringList &lines) { return log_.append(lines); }, this);
    // The test e-mail has a line of its own: nobody waits behind the alerts' pacing.
    testMailer_ = new Mailer({}, this);
    testMailer_->setObjectName(QStringLiteral("TestMailer"));
    testMailer_->setPasswordSource(lookUpMailPassword);
    mailer_->setPasswordSource(lookUpMailPassword);
    webhook_ = new WebhookSender(this);
    connect(webhook_, &WebhookSender::failed, this, [this](const QString &reason) {
        log_.note(reason);
        counters_.deliveryFailed(AlertChannel::Webhook);
    });
    // The alerts' e-mails only: a failed test e-mail is no alert lost.
    connect(mailer_, &Mailer::failed, this,
            [this] { counters_.deliveryFailed(AlertChannel::Mail); });
    heartbeat_ = new Heartbeat(
        [this] {
            std::vector<SlotSummary> watched;
            for (int slot = 1; slot <= settings::SlotCount; ++slot) {
                if (slots_->isWatched(slot)) {
                    watched.push_back({slots_->name(slot), slots_->slotState(slot).phase});
                }
            }
            return heartbeatState(watched, paused_);
        },
        [this](const QString &text) { log_.note(text); }, this);
    attachConsumers();

    // A token stored or removed while running counts from the next check on.
    connect(slots_, &SlotWatcher::checked, this, [this] {
        if (metricsServer_) {
            metricsServer_->noticeChanges();
        }
    });
    connect(panelTimer_, &QTimer::timeout, this, &Watchdog::refreshPanel);
    connect(animationTimer_, &QTimer::timeout, this, &Watchdog::animate);
    connect(keepUpTimer_, &QTimer::timeout, this, [this] {
        checkKeepUp();
        keepUpTimer_->setEnabled(false);
    });
}

Watchdog::~Watchdog() = default;

namespace {

/// The events that raise the alarms that are switched on.
bool alarming(Event::Kind kind) {
    switch (kind) {
    case Event::Kind::Restarted:
    case Event::Kind::RestartFailed:
    case Event::Kind::GaveUp:
    case Event::Kind::NotResponding:
    case Event::Kind::Unhealthy:
    case Event::Kind::ConnectionLost:
        return true;
    default:
        return false;
    }
}

bool isRestart(Event::Kind kind) {
    return kind == Event::Kind::Restarted || kind == Event::Kind::RestartFailed;
}

bool isRecovery(Event::Kind kind) {
    switch (kind) {
    case Event::Kind::WatchedAgain:
    case Event::Kind::RespondingAgain:
    case Event::Kind::HealthyAgain:
    case Event::Kind::ConnectionBack:
        return true;
    default:
        return false;
    }
}

} // namespace

void Watchdog::attachConsumers() {
    // The order a restart is told in; the status line was set before it was
    // published. Each runs whatever the others did: a log that cannot be
    // written silences no alarm and no e-mail.
    events_.attach([this](const Event &e) { counters_.count(e); });
    events_.attach([this](const Event &e) { runCommandLine(e); });
    events_.attach([this](const Event &e) {
        if (settings_.visualAlarm && alarming(e.kind)) {
            alarms_->raiseVisual();
        }
    });
    events_.attach([this](const Event &e) {
        if (settings_.audioAlarm && alarming(e.kind)) {
            alarms_->raiseAudio();
        }
    });
    events_.attach([this](const Event &e) { showPopup(e); });
    events_.attach([this](const Event &e) { log_.write(e); });
    events_.attach([this](const Event &e) {
        // The watch tells a loss on every check; the channels tell it once per outage.
        if (e.kind == Event::Kind::ConnectionLost) {
            lossToldBefore_ = connectionLost_;
            connectionLost_ = true;
        } else if (e.kind == Event::Kind::ConnectionBack) {
            connectionLost_ = false;
        }
    });
    events_.attach([this](const Event &e) { mail(e); });
    events_.attach([this](const Event &e) { postWebhook(e); });
    events_.attach([this](const Event &e) { notifyDesktop(e); });
}

void Watchdog::start() {
    // Nothing here can stop the start: a value that does not convert or a log
    // that cannot be written is passed over.
    reload();
    log_.note(QStringLiteral("Tenacor has been started."));
    keepUpTimer_->setEnabled(true);
    emit started();
}

void Watchdog::reload() {
    const QString problemBefore = settings_.problem;
    settings_ = settings::Snapshot::read();
    mailOn_ = settings_.mail.on;
    log_.setPath(settings_.logPath);
    slots_->apply(settings_);
    hang_->apply(settings_);
    health_->apply(settings_);
    applyWebhook();
    applyNotify();
    applyHeartbeat();
    applyMetrics();
    if (!settings_.problem.isEmpty() && settings_.problem != problemBefore) {
        // Everything then reads as empty and nothing would be watched without a word.
        std::fprintf(stderr, "perstando: %s\n", settings_.problem.toLocal8Bit().constData());
    }
    // A slot named while no window shows the panel is watched from now on.
    refreshPanel();
    emit settingsRead();
}

void Watchdog::setPaused(bool paused) {
    const bool changed = paused != paused_;
    paused_ = paused;
    panelTimer_->setEnabled(!paused);
    animationTimer_->setEnabled(!paused);
    internet_->timer()->setEnabled(!paused);
    slots_->setPaused(paused);
    if (!paused) {
        // --resume also asks the keyring again, whose items cannot be watched.
        if (metricsServer_) {
            metricsServer_->reloadToken();
        }
        refreshPanel();
    }
    if (changed) {
        emit pausedChanged(paused);
    }
}

void Watchdog::acknowledgeAlarms() {
    alarms_->acknowledge();
    slots_->watchGivenUpAgain();
}

void Watchdog::requestQuit() {
    emit quitRequested();
}

void Watchdog::checkKeepUp() {
    // Read afresh: the switch may have been saved since the start.
    if (settings::Stored::read().flag(settings::Key::KeepUp)) {
        core::startCompanion(core::dataFolder());
    }
}

void Watchdog::setMailSwitch(const QString &text) {
    mailOn_ = settings::isOn(settings::Key::MailSwitch, text);
}

MailSettings Watchdog::mailSettings() const {
    const auto &mail = settings_.mail;
    return {mail.sendTo, mail.port, mail.address, mail.server, mail.user, mail.caFile};
}

void Watchdog::sendRestartMail(int slot, bool failed, const QString &exitCause,
                               const QStringList &output) {
    if (!mailGuard_.admit(slot, slots_->nowMs(), settings_.mail.minutes)) {
        return; // the log has it; the slot's next e-mail counts it
    }
    const QString name = slots_->name(slot);
    mailer_->sendRestartMail(mailSettings(), name, failed,
                             mailGuard_.takeHeldLine(slot, name, QDateTime::currentDateTime()),
                             exitCause, output);
}

void Watchdog::setShown(bool shown) {
    if (shown_ == shown) {
        return;
    }
    shown_ = shown;
    panelTimer_->setHeld(!shown);
    animationTimer_->setHeld(!shown);
    if (shown) {
        trimTimer_->stop();
        refreshPanel();
    } else {
        trimTimer_->start();
    }
}

void Watchdog::refreshPanel() {
    const bool any = slots_->refresh();
    // Paused, the round leaves the animation and the connection watch off.
    if (!paused_) {
        if (any) {
            animationTimer_->setEnabled(true);
        }
        internet_->timer()->setEnabled(settings_.watchInternet);
    }
    emit panelRefreshed();
}

void Watchdog::refreshPanelSoon() {
    if (panelTimer_->isActive() || paused_) {
        return; // its own round comes, or the pause holds everything
    }
    QTimer::singleShot(panelTimer_->interval(), this, [this] {
        if (!paused_) {
            refreshPanel();
        }
    });
}

void Watchdog::animate() {
    internet_->timer()->setEnabled(settings_.watchInternet);
    emit activityTicked();
}

void Watchdog::runCommandLine(const Event &event) {
    if (!isRestart(event.kind) || !slots_->slotSettings(event.slot).commandLineOn) {
        return;
    }
    // Split into program and arguments: handed over whole, a line with
    // arguments could never start.
    std::string line = slots_->slotSettings(event.slot).commandLine.toStdString();
    const bool initiated = launcher::runCommandLine(line);
    events_.publish(initiated ? Event::Kind::CommandLineRun : Event::Kind::CommandLineFailed,
                    event.slot, 0, event.name, QString::fromStdString(line));
}

void Watchdog::showPopup(const Event &event) {
    if (!settings_.popupAlarm) {
        return;
    }
    switch (event.kind) {
    case Event::Kind::Restarted:
    case Event::Kind::RestartFailed:
        emit popupRequested(event.slot, event.name, event.kind == Event::Kind::RestartFailed);
        break;
    case Event::Kind::GaveUp:
        emit giveUpPopupRequested(event.slot, event.detail);
        break;
    case Event::Kind::NotResponding:
        emit notRespondingPopupRequested(event.slot, event.name);
        break;
    case Event::Kind::Unhealthy:
        emit unhealthyPopupRequested(event.slot,
                                     LogWriter::unhealthySentence(event.name, event.detail));
        break;
    default:
        break;
    }
}

void Watchdog::mail(const Event &event) {
    if (!mailOn_) {
        return;
    }
    if (isRestart(event.kind)) {
        sendRestartMail(event.slot, event.kind == Event::Kind::RestartFailed, event.detail,
                        event.output);
    } else if (event.kind == Event::Kind::Unhealthy) {
        // Once per failing process: the probe's counts keep it from flooding.
        mailer_->sendMail(mailSettings(), [name = event.name, reason = event.detail] {
            return LogWriter::unhealthySentence(name, reason);
        });
    } else if (event.kind == Event::Kind::GaveUp) {
        // Always sent: it comes once per crash loop, and says what was held back.
        const QString sentence = event.detail;
        const QString held =
            mailGuard_.takeHeldLine(event.slot, event.name, QDateTime::currentDateTime());
        mailer_->sendMail(mailSettings(), [sentence, held] {
            return held.isEmpty() ? sentence : sentence + QLatin1Char('\n') + held;
        });
    } else if (settings_.mail.recovery && isRecovery(event.kind)) {
        mailer_->sendMail(mailSettings(),
                          [sentence = alertOf(event, {}).sentence] { return sentence; });
    }
}

void Watchdog::applyWebhook() {
    const settings::Snapshot::Webhook &stored = settings_.webhook;
    QStringList problems;
    const std::optional<WebhookFormat> format = webhookFormat(stored.format);
    if (!format) {
        problems.push_back(
            QStringLiteral("the format \"%1\" is not known; json is sent").arg(stored.format));
    }
    QStringList unknown;
    webhookKinds_ = alertKinds(stored.events, unknown);
    if (!unknown.isEmpty()) {
        problems.push_back(QStringLiteral("no such event: ") + unknown.join(QStringLiteral(", ")));
    }
    webhookSettings_.url = stored.url;
    webhookSettings_.format = format.value_or(WebhookFormat::Json);
    webhookSettings_.caFile = stored.caFile;
    reloadWebhookToken();
    const QString problem = stored.url.isEmpty() || problems.isEmpty()
                                ? QString()
                                : QStringLiteral("webhook: ") + problems.join(QStringLiteral("; "));
    if (!problem.isEmpty() && problem != webhookProblem_) {
        log_.note(problem);
    }
    webhookProblem_ = problem;
}

bool Watchdog::repeatedLoss(const Event &event) const {
    return event.kind == Event::Kind::ConnectionLost && lossToldBefore_;
}

void Watchdog::reloadWebhookToken() {
    const quint64 lookup = ++tokenLookups_;
    if (settings_.webhook.url.isEmpty()) {
        // Without a webhook nothing asks the keyring; what waited goes nowhere.
        tokenPending_ = false;
        heldAlerts_.clear();
        tokenProblem_.clear();
        webhookSettings_.token.clear();
        webhook_->setSettings(webhookSettings_);
        return;
    }
    tokenPending_ = true;
    lookUpWebhookToken(
        this, [this, lookup](const std::optional<QString> &token, const QString &problem) {
            if (lookup != tokenLookups_) {
                return; // a later lookup answers for the settings of now
            }
            tokenPending_ = false;
            webhookSettings_.token = token.value_or(QString());
            if (problem.isEmpty()) {
                tokenProblem_.clear();
            } else if (problem != std::exchange(tokenProblem_, problem)) {
                log_.note(QStringLiteral("webhook: the token cannot be read: ") + problem);
            }
            webhook_->setSettings(webhookSettings_);
            for (const Alert &alert : std::exchange(heldAlerts_, {})) {
                webhook_->send(alert);
            }
        });
}

std::optional<Alert> Watchdog::channelAlert(const Event &event, MailFloodGuard &guard) const {
    Alert alert = alertOf(event, QSysInfo::machineHostName());
    // The e-mail's span holds back a channel's restarts too, and its next
    // alert says how many.
    if (isRestart(event.kind)) {
        if (!guard.admit(event.slot, slots_->nowMs(), settings_.mail.minutes)) {
            return std::nullopt;
        }
        const QString held = guard.takeHeldLine(event.slot, event.name, event.time);
        if (!held.isEmpty()) {
            alert.sentence += QLatin1Char('\n') + held;
        }
    }
    return alert;
}

void Watchdog::postWebhook(const Event &event) {
    if (settings_.webhook.url.isEmpty() || !webhookKinds_.contains(event.kind) ||
        repeatedLoss(event)) {
        return;
    }
    const std::optional<Alert> alert = channelAlert(event, webhookGuard_);
    if (!alert) {
        return;
    }
    if (tokenPending_) {
        heldAlerts_.push_back(*alert);
    } else {
        webhook_->send(*alert);
    }
}

DesktopNotifier &Watchdog::notifier() {
    if (!notifier_) {
        notifier_ = new DesktopNotifier(this);
        connect(notifier_, &DesktopNotifier::acknowledgeInvoked, this,
                &Watchdog::acknowledgeAlarms);
        connect(notifier_, &DesktopNotifier::openLogInvoked, this, &Watchdog::openLogRequested);
        connect(notifier_, &DesktopNotifier::unavailable, this, [this](const QString &reason) {
            if (!notifyDownLogged_) {
                log_.note(QStringLiteral("notify: no notification server answers: ") + reason);
                notifyDownLogged_ = true;
            }
        });
        connect(notifier_, &DesktopNotifier::shown, this, [this] { notifyDownLogged_ = false; });
        connect(notifier_, &DesktopNotifier::failed, this,
                [this] { counters_.deliveryFailed(AlertChannel::Notify); });
    }
    return *notifier_;
}

void Watchdog::applyNotify() {
    if (!settings_.notify.on) {
        notifyKinds_.clear();
        notifyProblem_.clear();
        return;
    }
    QStringList unknown;
    notifyKinds_ = alertKinds(settings_.notify.events, unknown);
    const QString problem = unknown.isEmpty() ? QString()
                                              : QStringLiteral("notify: no such event: ") +
                                                    unknown.join(QStringLiteral(", "));
    if (!problem.isEmpty() && problem != notifyProblem_) {
        log_.note(problem);
    }
    notifyProblem_ = problem;
}

void Watchdog::applyMetrics() {
    if (metricsServer_ == nullptr) {
        if (settings_.metrics.listen.isEmpty()) {
            return;
        }
        metricsServer_ = new MetricsServer(
            [this](const QByteArray &accept) {
                const MetricsFormat format = metricsFormatFor(accept);
                return MetricsServer::Body{metricsContentType(format), metricsText(*this, format)};
            },
            [this](const QString &line) { log_.note(line); }, this);
        health_->keepUsage(); // read at the checks for the first scrape already
    }
    metricsServer_->apply(settings_.metrics.listen);
}

void Watchdog::applyHeartbeat() {
    const settings::Snapshot::Heartbeat &stored = settings_.heartbeat;
    heartbeat_->apply(stored.url, stored.seconds, stored.method);
}

void Watchdog::notifyDesktop(const Event &event) {
    if (!settings_.notify.on || !notifyKinds_.contains(event.kind) || repeatedLoss(event)) {
        return;
    }
    const std::optional<Alert> alert = channelAlert(event, notifyGuard_);
    if (!alert) {
        return;
    }
    const bool slotEvent = event.slot >= 1 && event.slot <= settings::SlotCount;
    notifier().notify(*alert, slotEvent ? slots_->slotSettings(event.slot).program : QString());
}

} // namespace engine
