#pragma once
// The webhook channel: each alert as one HTTP POST to the user's address, in
// one of a few shapes that common receivers (ntfy, Slack, Gotify) understand.
// Delivery runs on the event loop alone, one POST at a time, with retries.

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <optional>

class QNetworkAccessManager;

namespace engine {

enum class WebhookFormat { Json, Ntfy, Slack, Gotify };

/// "json" (also empty), "ntfy", "slack", "gotify", any case; nullopt for anything else.
std::optional<WebhookFormat> webhookFormat(const QString &text);

struct WebhookSettings {
    QString url; ///< http:// or https://
    WebhookFormat format = WebhookFormat::Json;
    QString caFile; ///< PEM authorities trusted beside the system's; empty: none
    QString token;  ///< sent as "Authorization: Bearer <token>"; empty: none
};

/// One alert as the channels tell it.
struct Alert {
    QString kind;        ///< "restarted", "restart failed", "gave up", "not responding",
                         ///< "unhealthy", "connection lost", "watched again",
                         ///< "responding again", "healthy again", "connection back", "test"
    int slot = 0;        ///< 1..8; 0 for the watcher as a whole
    QString name;        ///< the slot's name
    QDateTime time;      ///< invalid: sent as null
    QString host;        ///< this machine's name
    int pid = 0;         ///< 0: none known
    QString sentence;    ///< the event told in one sentence, as the log says it
    QString detail;      ///< reason or detail; empty: none
    QString exitCause;   ///< "killed by signal 9 (SIGKILL)"; empty: not known
    QStringList output;  ///< the ended program's last lines, oldest first
    bool urgent = false; ///< gave up, could not be restarted, not healthy
};

struct WebhookRequest {
    QByteArray contentType;
    QList<QPair<QByteArray, QByteArray>> headers; ///< besides Content-Type and Authorization
    QByteArray body;
};

/// The request for `alert` in `format`:
///  Json:   application/json; one object {"kind","slot","name","time" (ISO 8601 with offset,
///          ms),"host","pid" (null when 0),"sentence","detail" (null when empty),
///          "exitCause" (null when empty),"output" (array of strings)}.
///  Ntfy:   text/plain; the message text (below) as the body; headers Title
///          ("Perstando: <name>", or "Perstando" for slot 0), Priority ("urgent" or
///          "default") and Tags (the kind, blanks as "_"). Header values are valid
///          header text: CR, LF and other controls removed, non-ASCII as RFC 2047
///          encoded words.
///  Slack:  application/json {"text": message text}, with &, < and > escaped as Slack
///          asks, so that no name or output line can mention or link.
///  Gotify: application/json {"title", "message": message text, "priority": 8 or 5}.
/// The message text is the sentence, then "Last exit: <cause>" and "Last output:"
/// with the lines, as the restart mail has them.
WebhookRequest webhookRequest(const Alert &alert, WebhookFormat format);

/// Sends alerts to one web address. Every call returns at once; the POSTs run
/// on network events and timers.
class WebhookSender : public QObject {
    Q_OBJECT

public:
    static constexpr int QueueLimit = 100;
    static constexpr int TimeoutMs = 10000;
    static constexpr int FirstRetryMs = 5000;
    static constexpr int SecondRetryMs = 30000;

    explicit WebhookSender(QObject *parent = nullptr);
    ~WebhookSender() override;

    /// For alerts queued from now on; the queued ones keep theirs.
    void setSettings(const WebhookSettings &settings);
    /// Queues `alert` and returns at once. One POST at a time, in order. When 100
    /// wait (besides the one being sent), the oldest waiting is dropped and counted.
    void send(const Alert &alert);
    /// The channel window's test: one POST of a "test" alert, no retries, beside
    /// the queue; `done(ok, text)` later with what the server answered ("HTTP 200
    /// from ntfy.example") or why not. Told to `done` only: neither failed() nor
    /// lastFailure().
    void sendTest(const WebhookSettings &settings, std::function<void(bool, const QString &)> done);
    int dropped() const { return dropped_; }
    /// The last final failure ("webhook: HTTP 401 from ntfy.example (Unauthorized)")
    /// and its time; empty and invalid when none yet.
    QString lastFailure() const { return lastFailure_; }
    QDateTime lastFailureTime() const { return lastFailureTime_; }
    /// Tests shorten the waits.
    void setTimings(int timeoutMs, int firstRetryMs, int secondRetryMs);

signals:
    /// One per alert given up on, with the reason as the log line says it.
    void failed(const QString &reason);
    void delivered();

private:
    struct Outcome {
        enum class Kind { Delivered, Retry, Final };
        Kind kind = Kind::Final;
        QString text; ///< "HTTP 200 from host", or why it failed, without "webhook: "
    };
    struct Job {
        Alert alert;
        WebhookSettings settings;
        int tries = 0;
    };

    /// One POST; `done` follows once, later, never from within post().
    void post(const WebhookSettings &settings, const Alert &alert,
              std::function<void(const Outcome &)> done);
    void scheduleNext();
    void next();
    void attempt();
    void attemptEnded(const Outcome &outcome);

    QNetworkAccessManager *manager_;
    WebhookSettings settings_;
    QList<Job> waiting_;
    std::optional<Job> current_;
    bool nextScheduled_ = false;
    QTimer retryTimer_;
    int dropped_ = 0;
    QString lastFailure_;
    QDateTime lastFailureTime_;
    int timeoutMs_ = TimeoutMs;
    int firstRetryMs_ = FirstRetryMs;
    int secondRetryMs_ = SecondRetryMs;
};

} // namespace engine
