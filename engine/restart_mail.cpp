#include "engine/restart_mail.h"

#include "engine/locale_text.h"
#include "engine/log_writer.h"
#include "engine/smtp_session.h"
#include "engine/wait_seconds.h"

#include <QCoreApplication>
#include <QPointer>
#include <QTime>

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

/// One restart e-mail: what its caller has asked for so far, and how far the
/// session has carried it out. Only the first job in line owns a session.
struct RestartMailer::Job {
    int port = 0;
    QString host;
    QString user;
    QString caFile;
    QString password;
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

void RestartMailer::sendRestartMail(const MailSettings &settings, const QString &slotName,
                                    bool restartFailed, const QString &afterText) {
    sendMail(settings, [&] {
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

void RestartMailer::sendMail(const MailSettings &settings, const std::function<QString()> &body) {
    const auto port = portFromText(settings.port);
    if (!port) {
        logFailure(QStringLiteral("no valid port"));
        return;
    }
    QPointer<RestartMailer> self(this);
    auto job = std::make_shared<Job>();
    job->port = *port;
    job->host = settings.server;
    job->user = settings.user;
    job->caFile = settings.caFile;
    jobs_.push_back(job);
    if (!job->user.isEmpty()) {
        lookUpPassword(job);
    }
    advance(); // connect

    engine::waitSeconds(3);
    if (!self) {
        return;
    }
    smtp::Message message;
    message.sender = settings.address;
    message.replyTo = settings.address;
    message.recipients = settings.sendTo;
    message.subject = subject();
    message.body = body();
    job->message = message;
    advance(); // send

    engine::waitSeconds(2);
    if (!self) {
        return;
    }
    job->disconnectAsked = true;
    advance(); // disconnect
}

void RestartMailer::advance() {
    // Session signals can arrive from inside the calls below; they only ask
    // for another pass.
    if (advancing_) {
        advanceAgain_ = true;
        return;
    }
    advancing_ = true;
    do {
        advanceAgain_ = false;
        while (!jobs_.empty()) {
            const std::shared_ptr<Job> job = jobs_.front();
            if (job->abandoned) {
                if (!job->disconnectAsked) {
                    break; // its caller still paces it
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
                connect(session, &smtp::Session::finished, this, &RestartMailer::advance);
                connect(
                    session, &smtp::Session::sendError, this,
                    [this, session](const QString &address, const QString &response, bool &cancel) {
                        askToContinue(session, address, response, cancel);
                    },
                    Qt::DirectConnection);
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
                break; // its caller has more to do, or the server is still at work
            }
            // Still connected: a failure it reports from a queued event is logged.
            job->session->deleteLater();
            jobs_.pop_front();
        }
    } while (advanceAgain_);
    advancing_ = false;
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
                                  const QString &response, bool &cancel) {
    const QString text =
        QStringLiteral("An error occured sending the following email address: ") + address +
        QStringLiteral("\r\n") + QStringLiteral("The server response was: ") + response +
        QStringLiteral("\r\n") + QStringLiteral("Would you like to continue sending?");
    QPointer<smtp::Session> guard(session);
    if (confirm_ && confirm_(text)) {
        cancel = false;
        return;
    }
    cancel = true;
    QCoreApplication::processEvents();
    if (guard) {
        guard->disconnectFromServer();
    }
}

void RestartMailer::logFailure(const QString &reason) const {
    if (log_) {
        log_(engine::LogWriter::eventLines(
            QStringLiteral(" E-mail notification could not be sent: ") + reason));
    }
}
