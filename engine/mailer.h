#pragma once
// The program's e-mails: the restart and give-up alerts and the e-mail window's
// test, through one delivery path to the user's SMTP server.

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

namespace engine {

/// The mail settings of an e-mail, as stored or as typed.
struct MailSettings {
    QString sendTo;  ///< recipients, separated by ";"
    QString port;    ///< text; converted by mailPort() when the e-mail is sent
    QString address; ///< sender
    QString server;
    QString user;   ///< sign-in name; empty: no sign-in
    QString caFile; ///< further authorities (PEM); empty: the system's only
};

/// The TCP port `text` names, blanks around it allowed; nullopt when it is
/// empty, no whole number or no TCP port.
std::optional<int> mailPort(const QString &text);

/// Sends e-mails one connection at a time, in the order asked: an e-mail
/// asked during another one's conversation talks to the server after the
/// earlier one has finished. Every call returns at once; the work runs on
/// timers and socket events, so no check waits for an e-mail.
class Mailer : public QObject {
    Q_OBJECT

public:
    /// The alerts' pacing: connect, 3 s, send, 2 s, disconnect.
    static constexpr int SendAfterMs = 3000;
    static constexpr int DisconnectAfterMs = 2000;
    /// The test e-mail's longest wait for any one answer: someone is waiting.
    static constexpr int TestReplyTimeoutMs = 20000;
    /// Restart e-mails that wait for the server beside the one being sent.
    static constexpr int QueueLimit = 20;
    /// An alert e-mail sent this long after it was asked says how late it is.
    static constexpr int LateAfterMs = 3 * 60 * 1000;

    /// Writes one log entry, one line per element.
    using WriteLogEntry = std::function<bool(const QStringList &)>;
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
    /// What became of one e-mail: accepted by the server, or not and why.
    using Done = std::function<void(bool accepted, const QString &problem)>;

    /// How one e-mail goes out.
    struct Delivery {
        /// Paced as the alerts are; else connect, send and disconnect at once.
        bool paced = true;
        /// Longest wait for each answer of the server and for a message still
        /// in flight at the disconnect, in ms; nullopt: setTimeouts().
        std::optional<int> replyTimeoutMs;
        /// Each failure is written to the log.
        bool logFailures = true;
        /// A refused address asks the question of setConfirm(); else the
        /// message goes to nobody and the refusal is the outcome.
        bool askOnRefusal = true;
        /// The sign-in password; nullopt: looked up when there is a user.
        std::optional<QString> password;
        /// Called once, later, on this thread, unless the mailer is gone.
        Done done;
        /// A restart e-mail: one of a crash loop's many, dropped oldest first
        /// when more than QueueLimit wait.
        bool restartNotice = false;
    };

    /// `writeLogEntry` takes the failures of the e-mails that log them.
    explicit Mailer(WriteLogEntry writeLogEntry, QObject *parent = nullptr);
    ~Mailer() override;

    /// An e-mail with the alert subject and the body `body` makes when the
    /// message is handed to the server. A port that is none fails it as "no
    /// valid port".
    void sendMail(const MailSettings &settings, std::function<QString()> body, Delivery delivery);
    /// An alert e-mail: paced and logged as the restart e-mail is.
    void sendMail(const MailSettings &settings, std::function<QString()> body) {
        sendMail(settings, std::move(body), Delivery());
    }
    /// The restart e-mail of the slot named `slotName`, paced and logged.
    /// When `restartFailed`, the body says the program could not be
    /// restarted. `afterText`, when not empty, is a line of its own after the
    /// usual text; `exitCause`, when known, a line "Last exit: <cause>" before it,
    /// and the program's last `output` lines, when kept, under "Last output:".
    void sendRestartMail(const MailSettings &settings, const QString &slotName, bool restartFailed,
                         const QString &afterText = {}, const QString &exitCause = {},
                         const QStringList &output = {});
    /// The e-mail window's test: unpaced, not logged, a refused address ends
    /// it; `done` gets the outcome in one sentence ("The test e-mail was
    /// accepted by <server>.", or why not). `password` nullopt: looked up.
    void sendTestMail(const MailSettings &settings, const std::optional<QString> &password,
                      Done done);

    /// The question about a refused address. Without one nobody is there to
    /// say yes: the e-mail goes to nobody, as when the question is closed.
    void setConfirm(Confirm confirm) { confirm_ = std::move(confirm); }
    /// Where the password of a signed-in e-mail comes from.
    void setPasswordSource(PasswordSource source) { passwordSource_ = std::move(source); }

    /// Bounds on waiting for the server (ms): each answer, and the time a
    /// disconnect lets a message still in flight finish.
    void setTimeouts(int replyMs, int drainMs);
    /// The pacing, for tests (ms): from connect to send, from send to disconnect.
    void setPacing(int sendAfterMs, int disconnectAfterMs);

    /// E-mails whose conversation with the server has not ended yet.
    int pendingMails() const { return static_cast<int>(jobs_.size()); }
    /// Restart e-mails dropped because too many waited, since the start.
    int dropped() const { return dropped_; }
    /// For tests: how old an alert e-mail is when it says it is late (ms).
    void setLateAfter(int ms) { lateAfterMs_ = ms; }

    static QString subject() { return QStringLiteral("*****Perstando Alert*****"); }
    static QString testMailBody() {
        return QStringLiteral("This is a test e-mail from Perstando. Restart e-mails will "
                              "reach you the same way.");
    }

signals:
    /// An e-mail was given up on (what its failure's log line says, or a
    /// refusal the user chose not to go past), once per e-mail.
    void failed(const QString &problem);

private:
    struct Job;

    void advance();
    void sendStep(const std::weak_ptr<Job> &weak);
    void disconnectStep(const std::weak_ptr<Job> &weak);
    void startSession(const std::shared_ptr<Job> &job);
    void lookUpPassword(const std::shared_ptr<Job> &job);
    void askToContinue(const std::shared_ptr<Job> &job, const QString &address,
                       const QString &response);
    /// The outcome of `job`, once: a failure is logged when the job logs them.
    void settle(const std::shared_ptr<Job> &job, bool accepted, const QString &problem);
    /// A failure before any job exists.
    void failEarly(const Delivery &delivery, const QString &problem);
    void logFailure(const QString &reason) const;
    /// Past the limit, the oldest restart e-mail still waiting goes.
    void dropOldestRestartMail();
    /// What the e-mail handed to the server now adds: the restart e-mails
    /// dropped before it, and how late it is.
    void addNotes(Job &job);

    WriteLogEntry writeLogEntry_;
    Confirm confirm_;
    PasswordSource passwordSource_;
    int replyTimeoutMs_;
    int drainTimeoutMs_;
    int sendAfterMs_ = SendAfterMs;
    int disconnectAfterMs_ = DisconnectAfterMs;
    std::deque<std::shared_ptr<Job>> jobs_;
    int dropped_ = 0;
    int droppedUntold_ = 0;
    int lateAfterMs_ = LateAfterMs;
};

} // namespace engine
