#include "engine/restart_mail.h"

#include "engine/locale_text.h"
#include "engine/log_writer.h"
#include "engine/smtp_session.h"

#include <QPointer>
#include <QTime>
#include <QTimer>

namespace {

/// The stored port as a number; nullopt when it is empty, no whole number or
/// no TCP port.
std::optional<int> portFromText(const QString &text) {
    bool ok = false;
    const int port = text.trimmed().toInt(&ok, 10);
    if (!ok || port < 1 || port > 65535) {
        return std::nullopt;
    }
    return port;
}

} // namespace

/// One restart e-mail: how far its pacing has come, and how far the session
/// has carried it out. Only the first job in line owns a session.
struct RestartMailer::Job {
    int port = 0;
    QString host;
    QString user;
    QString caFile;
    QString password;
    QString sender;
    QString recipients;
    std::function<QString()> body;
    /// The session waits for the password to be looked up.
    bool waitingForPassword = false;
    /// No password: the e-mail is given up, logged once.
    bool abandoned = false;
    std::optional<smtp::Message> message;
    bool disconnectAsked = false;

    smtp::Session *session = nullptr;
    bool sendDone = false;
    bool disconnectDone = false;
};

RestartMailer::RestartMailer(LogWriter log, QObject *parent)
    : QObject(parent), log_(std::move(log)), replyTimeoutMs_(smtp::Session::DefaultTimeoutMs),
      drainTimeoutMs_(smtp::Session::DefaultTimeoutMs) {
    setObjectName(QStringLiteral("RestartMailer"));
}

RestartMailer::~RestartMailer() = default;

void RestartMailer::setTimeouts(int replyMs, int drainMs) {
    replyTimeoutMs_ = replyMs;
    drainTimeoutMs_ = drainMs;
}

void RestartMailer::setPacing(int sendAfterMs, int disconnectAfterMs) {
    sendAfterMs_ = sendAfterMs;
    disconnectAfterMs_ = disconnectAfterMs;
}

void RestartMailer::sendRestartMail(const MailSettings &settings, const QString &slotName,
                                    bool restartFailed, const QString &afterText) {
    sendMail(settings, [slotName, restartFailed, afterText] {
        QString body = slotName +
                       (restartFailed ? QStringLiteral(" could not be restarted at: ")
                                      : QStringLiteral(" was restarted at: ")) +
                       engine::longTime(QTime::currentTime());
        if (!afterText.isEmpty()) {
            body += QLatin1Char('\n') + afterText;
        }
        return body;
    });
}

void RestartMailer::sendMail(const MailSettings &settings, std::function<QString()> body) {
    const auto port = portFromText(settings.port);
    if (!port) {
        logFailure(QStringLiteral("no valid port"));
        return;
    }
    auto job = std::make_shared<Job>();
    job->port = *port;
    job->host = settings.server;
    job->user = settings.user;
    job->caFile = settings.caFile;
    job->sender = settings.address;
    job->recipients = settings.sendTo;
    job->body = std::move(body);
    jobs_.push_back(job);
    if (!job->user.isEmpty()) {
        lookUpPassword(job);
    }
    advance(); // connect
    QTimer::singleShot(sendAfterMs_, Qt::PreciseTimer, this,
                       [this, weak = std::weak_ptr<Job>(job)] { sendStep(weak); });
}

void RestartMailer::sendStep(const std::weak_ptr<Job> &weak) {
    const auto job = weak.lock();
    if (!job) {
        return;
    }
    smtp::Message message;
    message.sender = job->sender;
    message.replyTo = job->sender;
    message.recipients = job->recipients;
    message.subject = subject();
    message.body = job->body();
    job->message = message;
    advance();
    QTimer::singleShot(disconnectAfterMs_, Qt::PreciseTimer, this,
                       [this, weak] { disconnectStep(weak); });
}

void RestartMailer::disconnectStep(const std::weak_ptr<Job> &weak) {
    if (const auto job = weak.lock()) {
        job->disconnectAsked = true;
        advance();
    }
}

void RestartMailer::advance() {
    while (!jobs_.empty()) {
        const std::shared_ptr<Job> job = jobs_.front();
        if (job->abandoned) {
            if (!job->disconnectAsked) {
                break; // its pacing still holds the line
            }
            jobs_.pop_front();
            continue;
        }
        if (job->waitingForPassword) {
            break;
        }
        if (!job->session) {
            auto *session = new smtp::Session(this);
            job->session = session;
            session->setTimeout(replyTimeoutMs_);
            session->setDrainTimeout(drainTimeoutMs_);
            session->setPort(job->port);
            session->setHost(job->host);
            session->setCaFile(job->caFile);
            session->setLogin(job->user, job->password);
            job->password.clear(); // the session holds it now
            connect(session, &smtp::Session::messageFailed, this, &RestartMailer::logFailure);
            // Queued: a session can finish inside the calls below, and the
            // next pass must not run inside this one.
            connect(session, &smtp::Session::finished, this, &RestartMailer::advance,
                    Qt::QueuedConnection);
            connect(session, &smtp::Session::recipientRefused, this,
                    [this, session](const QString &address, const QString &response) {
                        askToContinue(session, address, response);
                    });
            session->connectToServer();
        }
        if (job->message && !job->sendDone) {
            job->sendDone = true;
            job->session->send(*job->message);
        }
        if (job->disconnectAsked && !job->disconnectDone) {
            job->disconnectDone = true;
            job->session->disconnectFromServer();
        }
        if (!job->disconnectDone || job->session->isActive()) {
            break; // its pacing has more to do, or the server is still at work
        }
        // Still connected: a failure it reports from a queued event is logged.
        job->session->deleteLater();
        jobs_.pop_front();
    }
}

void RestartMailer::lookUpPassword(const std::shared_ptr<Job> &job) {
    if (!passwordSource_) {
        job->abandoned = true;
        logFailure(QStringLiteral("no password can be looked up for ") + job->user);
        return;
    }
    job->waitingForPassword = true;
    const std::weak_ptr<Job> weak = job;
    passwordSource_(job->host, job->user, this,
                    [this, weak](const std::optional<QString> &password, const QString &problem) {
                        const auto waiting = weak.lock();
                        if (!waiting) {
                            return;
                        }
                        waiting->waitingForPassword = false;
                        if (password) {
                            waiting->password = *password;
                        } else {
                            waiting->abandoned = true;
                            logFailure(problem);
                        }
                        advance();
                    });
}

void RestartMailer::askToContinue(smtp::Session *session, const QString &address,
                                  const QString &response) {
    const QString text =
        QStringLiteral("An error occured sending the following email address: ") + address +
        QStringLiteral("\r\n") + QStringLiteral("The server response was: ") + response +
        QStringLiteral("\r\n") + QStringLiteral("Would you like to continue sending?");
    // The session waits for the answer; one that ended meanwhile takes none.
    const Answer answer = [guard = QPointer<smtp::Session>(session)](bool goOn) {
        if (!guard) {
            return;
        }
        guard->answerRefusal(goOn);
        if (!goOn) {
            guard->disconnectFromServer();
        }
    };
    if (confirm_) {
        confirm_(text, answer);
    } else {
        answer(false);
    }
}

void RestartMailer::logFailure(const QString &reason) const {
    if (log_) {
        log_(engine::LogWriter::eventLines(
            QStringLiteral(" E-mail notification could not be sent: ") + reason));
    }
}
