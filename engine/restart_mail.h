#pragma once
// The restart e-mail: one alert per restart through the user's SMTP server.

#include <QObject>
#include <QString>
#include <QStringList>
#include <deque>
#include <functional>
#include <memory>
#include <optional>

namespace smtp {
class Session;
}

/// The mail settings the main window holds, as read from the settings file.
struct MailSettings {
    QString sendTo;  ///< recipients, separated by ";"
    QString port;    ///< text; converted when the e-mail is sent
    QString address; ///< sender
    QString server;
    QString user;   ///< sign-in name; empty: no sign-in
    QString caFile; ///< further authorities (PEM); empty: the system's only
};

/// Sends the restart e-mails of the slots. Each e-mail keeps its pacing
/// (connect, 3 s, send, 2 s, disconnect) on timers, so a call returns at once
/// and no check waits for an e-mail. The e-mails share one connection at a
/// time: an e-mail started during another one's pacing talks to the server
/// after the earlier one has finished, so every restart gets its own message,
/// in the order of the restarts.
class RestartMailer : public QObject {
    Q_OBJECT

public:
    static constexpr int SendAfterMs = 3000;
    static constexpr int DisconnectAfterMs = 2000;

    /// Writes one log entry, one line per element.
    using LogWriter = std::function<bool(const QStringList &)>;
    /// The user's answer to a question: true goes on.
    using Answer = std::function<void(bool goOn)>;
    /// Asks the user whether to go on after the server refused an address and
    /// returns at once; `answer` is called once, now or later, on this thread.
    /// True goes on with the other recipients.
    using Confirm = std::function<void(const QString &text, Answer answer)>;
    /// The password of `user` at `server`, or why there is none: nullopt and
    /// a reason.
    using PasswordDone =
        std::function<void(const std::optional<QString> &password, const QString &problem)>;
    /// Looks the password up without blocking and calls `done` later, on
    /// this thread, unless `context` is gone by then.
    using PasswordSource = std::function<void(const QString &server, const QString &user,
                                              QObject *context, PasswordDone done)>;

    explicit RestartMailer(LogWriter log, QObject *parent = nullptr);
    ~RestartMailer() override;

    /// The restart e-mail of the slot named `slotName`; returns at once and
    /// disconnects about 5 s later. When `restartFailed`, the body says the
    /// program could not be restarted. An e-mail that cannot be delivered is
    /// written to the log. `afterText`, when not empty, is a line of its own
    /// after the usual text.
    void sendRestartMail(const MailSettings &settings, const QString &slotName, bool restartFailed,
                         const QString &afterText = {});
    /// An alert e-mail whose body is made when it is sent, paced and logged as
    /// the restart e-mail is.
    void sendMail(const MailSettings &settings, std::function<QString()> body);

    /// The question about a refused address. Without one nobody is there to
    /// say yes: the e-mail goes to nobody, as when the question is closed.
    void setConfirm(Confirm confirm) { confirm_ = std::move(confirm); }
    /// Where the password of a signed-in e-mail comes from.
    void setPasswordSource(PasswordSource source) { passwordSource_ = std::move(source); }

    /// Bounds on waiting for the server, for tests (ms): each answer, and the
    /// time a disconnect lets a message still in flight finish.
    void setTimeouts(int replyMs, int drainMs);
    /// The pacing, for tests (ms): from connect to send, from send to disconnect.
    void setPacing(int sendAfterMs, int disconnectAfterMs);

    /// E-mails whose conversation with the server has not ended yet.
    int pendingMails() const { return static_cast<int>(jobs_.size()); }

    static QString subject() { return QStringLiteral("*****Perstando Alert*****"); }

private:
    struct Job;

    void advance();
    void sendStep(const std::weak_ptr<Job> &weak);
    void disconnectStep(const std::weak_ptr<Job> &weak);
    void lookUpPassword(const std::shared_ptr<Job> &job);
    void logFailure(const QString &reason) const;
    void askToContinue(smtp::Session *session, const QString &address, const QString &response);

    LogWriter log_;
    Confirm confirm_;
    PasswordSource passwordSource_;
    int replyTimeoutMs_;
    int drainTimeoutMs_;
    int sendAfterMs_ = SendAfterMs;
    int disconnectAfterMs_ = DisconnectAfterMs;
    std::deque<std::shared_ptr<Job>> jobs_;
};
