#include "engine/watchdog.h"

#include "core/companion.h"
#include "core/program_folder.h"
#include "engine/alarm_state.h"
#include "engine/error_window_sweep.h"
#include "engine/form_timer.h"
#include "engine/hang_watch.h"
#include "engine/internet_watch.h"
#include "engine/mail_password.h"
#include "engine/mailer.h"
#include "engine/slot_watcher.h"

#include <cstdio>

namespace engine {

Watchdog::Watchdog(QObject *parent) : QObject(parent) {
    setObjectName(QStringLiteral("Watchdog"));
    panelTimer_ = new FormTimer(QStringLiteral("Timer1"), 500, true, this);
    animationTimer_ = new FormTimer(QStringLiteral("Timer10"), 500, true, this);
    keepUpTimer_ = new FormTimer(QStringLiteral("Timer13"), 4000, false, this);
    slots_ = new SlotWatcher(log_, this);
    hang_ = new HangWatch(*slots_, this);
    alarms_ = new AlarmState(this);
    internet_ = new InternetWatch(log_, this);
    sweep_ = new ErrorWindowSweep(this);
    mailer_ = new Mailer([this](const QStringList &lines) { return log_.append(lines); }, this);
    mailer_->setPasswordSource(lookUpMailPassword);

    connect(panelTimer_, &QTimer::timeout, this, &Watchdog::refreshPanel);
    connect(animationTimer_, &QTimer::timeout, this, &Watchdog::animate);
    connect(keepUpTimer_, &QTimer::timeout, this, [this] {
        checkKeepUp();
        keepUpTimer_->setEnabled(false);
    });
    connect(slots_, &SlotWatcher::restarted, this, &Watchdog::report);
    connect(slots_, &SlotWatcher::gaveUp, this, &Watchdog::reportGiveUp);
    connect(internet_, &InternetWatch::connectionLost, this, &Watchdog::raiseAlarms);
    connect(hang_, &HangWatch::notResponding, this, &Watchdog::reportNotResponding);
}

Watchdog::~Watchdog() = default;

void Watchdog::start() {
    // Nothing here can stop the start: a value that does not convert or a log
    // that cannot be written is passed over.
    reload();
    log_.note(QStringLiteral("Tenacor has been started."));
    keepUpTimer_->setEnabled(true);
}

void Watchdog::reload() {
    const QString problemBefore = settings_.problem;
    settings_ = settings::Snapshot::read();
    log_.setPath(settings_.logPath);
    slots_->apply(settings_);
    hang_->apply(settings_);
    if (!settings_.problem.isEmpty() && settings_.problem != problemBefore) {
        // Everything then reads as empty and nothing would be watched without a word.
        std::fprintf(stderr, "perstando: %s\n", settings_.problem.toLocal8Bit().constData());
    }
    emit settingsRead();
}

void Watchdog::setPaused(bool paused) {
    panelTimer_->setEnabled(!paused);
    animationTimer_->setEnabled(!paused);
    internet_->timer()->setEnabled(!paused);
    if (paused) {
        slots_->setTimersEnabled(false);
    }
}

void Watchdog::acknowledgeAlarms() {
    alarms_->acknowledge();
    slots_->watchGivenUpAgain();
}

void Watchdog::checkKeepUp() {
    settings_.keepUp = settings::isOn(settings::text(settings::Key::KeepUp));
    if (settings_.keepUp) {
        core::startCompanion(core::dataFolder());
    }
}

void Watchdog::setMailSwitch(const QString &text) {
    settings_.mail.on = settings::isOn(text);
}

MailSettings Watchdog::mailSettings() const {
    const auto &mail = settings_.mail;
    return {mail.sendTo, mail.port, mail.address, mail.server, mail.user, mail.caFile};
}

void Watchdog::sendRestartMail(int slot, bool failed) {
    if (!mailGuard_.admit(slot, slots_->nowMs(), settings_.mail.minutes)) {
        return; // the log has it; the slot's next e-mail counts it
    }
    const QString name = slots_->name(slot);
    mailer_->sendRestartMail(mailSettings(), name, failed,
                             mailGuard_.takeHeldLine(slot, name, QDateTime::currentDateTime()));
}

void Watchdog::refreshPanel() {
    if (slots_->refresh()) {
        animationTimer_->setEnabled(true);
    }
    internet_->timer()->setEnabled(settings_.watchInternet);
    emit panelRefreshed();
}

void Watchdog::animate() {
    frame_ = frame_ + 1 >= 10 ? 1 : frame_ + 1;
    internet_->timer()->setEnabled(settings_.watchInternet);
    emit activityFrameChanged(frame_);
}

void Watchdog::raiseAlarms() {
    if (settings_.visualAlarm) {
        alarms_->raiseVisual();
    }
    if (settings_.audioAlarm) {
        alarms_->raiseAudio();
    }
}

void Watchdog::report(int slot, bool failed) {
    raiseAlarms();
    if (settings_.popupAlarm) {
        emit popupRequested(slot, slots_->name(slot), failed);
    }
    if (settings_.mail.on) {
        sendRestartMail(slot, failed);
    }
}

void Watchdog::reportGiveUp(int slot, const QString &sentence) {
    raiseAlarms();
    if (settings_.popupAlarm) {
        emit giveUpPopupRequested(slot, sentence);
    }
    if (settings_.mail.on) {
        // Always sent: it comes once per crash loop, and says what was held back.
        const QString held =
            mailGuard_.takeHeldLine(slot, slots_->name(slot), QDateTime::currentDateTime());
        mailer_->sendMail(mailSettings(), [sentence, held] {
            return held.isEmpty() ? sentence : sentence + QLatin1Char('\n') + held;
        });
    }
}

void Watchdog::reportNotResponding(int slot) {
    raiseAlarms();
    if (settings_.popupAlarm) {
        emit notRespondingPopupRequested(slot, slots_->name(slot));
    }
}

} // namespace engine
