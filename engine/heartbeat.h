#pragma once
// The heartbeat: the machine's overall state pinged to a push monitor
// (healthchecks.io, Uptime Kuma) at a steady pace, so that a watchdog that
// died with its machine is noticed by the silence. Paced on a clock that
// counts suspend, so that a ping is due at once after the machine wakes.

#include "core/boot_timer.h"
#include "engine/slot_state.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <vector>

class QNetworkAccessManager;
class QNetworkReply;
class QSocketNotifier;

namespace engine {

/// One watched slot as the heartbeat tells it.
struct SlotSummary {
    QString name;
    Phase phase = Phase::NotCheckedYet;
};

struct HeartbeatState {
    bool up = true;
    QString message;
};

/// Down while any slot gave up, could not be restarted, is unhealthy or over its
/// limit; up otherwise, a pause included. The message names what is wrong, or
/// counts what runs, and says "checking paused" when paused; at most
/// MaxMessage characters.
HeartbeatState heartbeatState(const std::vector<SlotSummary> &watched, bool paused);

/// `url` with status and msg as its last query items (any earlier ones of those
/// names dropped, the others kept), every character outside the unreserved set
/// percent-encoded.
QUrl heartbeatUrl(const QUrl &url, const HeartbeatState &state);

class Heartbeat : public QObject {
    Q_OBJECT

public:
    static constexpr int TimeoutMs = 10000;
    static constexpr int MaxMessage = 200;
    using StateSource = std::function<HeartbeatState()>;
    using Note = std::function<void(const QString &)>;

    /// `state` is asked at every ping; `note` writes a line to the log.
    Heartbeat(StateSource state, Note note, QObject *parent = nullptr);
    ~Heartbeat() override;

    /// The settings of a fresh read. An empty url stops the pings; a changed url,
    /// interval or method pings at once and paces from there; the same ones keep
    /// the pace. What cannot be used is logged once until it changes.
    void apply(const QString &url, int seconds, const QString &method);
    /// Whether pings are being sent.
    bool active() const { return url_.isValid(); }
    void setTimeoutMs(int ms) { timeoutMs_ = ms; }

signals:
    /// After each ping's answer, or its failure.
    void pinged(bool ok);

private:
    void due();
    void arm(qint64 ms);
    void ping();
    /// `cut`: aborted after the status, for a body too long to read.
    void ended(QNetworkReply *reply, bool timedOut, bool cut);
    void stop();
    /// Lets the ping in flight go unanswered.
    void abandonInFlight();

    StateSource state_;
    Note note_;
    QNetworkAccessManager *manager_;
    /// A ping due longer ago than this went past a suspend or a stop.
    static constexpr std::chrono::milliseconds LateMs{1000};
    core::BootTimer timer_;
    /// When the next ping is due, on the timer's clock.
    std::chrono::milliseconds dueAt_{};
    QSocketNotifier *notifier_ = nullptr;
    /// Stands in when the system gives no boot-clock timer.
    QTimer fallback_;
    QUrl url_; ///< invalid: no pings
    bool post_ = false;
    int seconds_ = 60;
    QString storedUrl_, storedMethod_;
    int storedSeconds_ = 0;
    QString problem_; ///< logged once until it changes
    bool outageLogged_ = false;
    QPointer<QNetworkReply> inFlight_;
    int timeoutMs_ = TimeoutMs;
};

} // namespace engine
