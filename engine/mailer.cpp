#include "engine/mailer.h"

#include "engine/locale_text.h"
#include "engine/log_writer.h"
#include "engine/smtp_session.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QTime>
#include <QTimer>

#include <algorithm>
#include <utility>

namespace engine {

std::optional<int> mailPort(const QString &text) {
    bool ok = false;
    const int port = text.trimmed().toInt(&ok, 10);
    if (!ok || port < 1 || port > 65535) {
        return std::nullopt;
    }
    return port;
}

/// One e-mail: how far its pacing has come, and how far the session has
/// carried it out. Only the first job in line owns a session.
struct Mailer::Job {
    int port = 0;
    QString host;
    QString user;
    QString caFile;
    QString password;
    QString sender;
    QString recipients;
    std::function<QString()> body;
    Delivery delivery;
    /// The session waits for the password to be looked up.
    bool waitingForPassword = false;
    /// No password: the e-mail is given up.
    bool abandoned = false;
    std::optional<smtp::Message> message;
    bool disconnectAsked = false;

    smtp::Session *session = nullptr;
    bool sendDone = false;
    bool disconnectDone = false;
    /// Its outcome has been given.
    bool settled = false;
    /// Since it was asked for.
    QElapsedTimer age;
    /// Dropped e-mails its body tells of: told again by the next when it fails.
    int toldDropped = 0;
};

namespace {

QString countText(qint64 count, const char *unit) {
    return QStringLiteral("%1 %2%3").arg(count).arg(QLatin1String(unit),
                                                    count == 1 ? QString() : QStringLiteral("s"));
}

/// "19 minutes", or seconds under two minutes.
QString ageText(qint64 ms) {
    return ms >= 120'000 ? countText(ms / 60'000, "minute") : countText(ms / 1000, "second");
}

} // namespace

Mailer::Mailer(WriteLogEntry writeLogEntry, QObject *parent)
    : QObject(parent), writeLogEntry_(std::move(writeLogEntry)),
      replyTimeoutMs_(smtp::Session::DefaultTimeoutMs),
      drainTimeoutMs_(smtp::Session::DefaultTimeoutMs) {
    setObjectName(QStringLiteral("Mailer"));
}

Mailer::~Mailer() = default;

void Mailer::setTimeouts(int replyMs, int drainMs) {
    replyTimeoutMs_ = replyMs;
    drainTimeoutMs_ = drainMs;
}

void Mailer::setPacing(int sendAfterMs, int disconnectAfterMs) {
    sendAfterMs_ = sendAfterMs;
    disconnectAfterMs_ = disconnectAfterMs;
}

void Mailer::sendRestartMail(const MailSettings &settings, const QString &slotName,
                             bool restartFailed, const QString &afterText, const QString &exitCause,
                             const QStringList &output) {
    auto makeBody = [slotName, restartFailed, afterText, exitCause, output] {
        QString body = slotName +
                       (restartFailed ? QStringLiteral(" could not be restarted at: ")
                                      : QStringLiteral(" was restarted at: ")) +
                       engine::longTime(QTime::currentTime());
        if (!exitCause.isEmpty()) {
            body += QStringLiteral("\nLast exit: ") + exitCause;
        }
        if (!output.isEmpty()) {
            body += QStringLiteral("\nLast output:\n") + output.join(QLatin1Char('\n'));
        }
        if (!afterText.isEmpty()) {
            body += QLatin1Char('\n') + afterText;
        }
        return body;
    };
    Delivery delivery;
    delivery.restartNotice = true;
    sendMail(settings, std::move(makeBody), std::move(delivery));
}

void Mailer::sendTestMail(const MailSettings &settings, const std::optional<QString> &password,
                          Done done) {
    Delivery delivery;
    delivery.paced = false;
    delivery.replyTimeoutMs = TestReplyTimeoutMs;
    delivery.logFailures = false;
    delivery.askOnRefusal = false;
    delivery.password = password;
    const QString server = settings.server.trimmed();
    if (!mailPort(settings.port)) {
        delivery.done = std::move(done);
        failEarly(delivery,
                  QStringLiteral("The port \"%1\" is no port number.").arg(settings.port));
        return;
    }
    if (server.isEmpty()) {
        delivery.done = std::move(done);
        failEarly(delivery, QStringLiteral("No SMTP server is given."));
        return;
    }
    delivery.done = [server, done = std::move(done)](bool accepted, const QString &problem) {
        if (done) {
            done(accepted, accepted
                               ? QStringLiteral("The test e-mail was accepted by %1.").arg(server)
                               : problem);
        }
    };
    MailSettings typed = settings;
    typed.server = server;
    sendMail(
        typed, [] { return testMailBody(); }, std::move(delivery));
}

void Mailer::sendMail(const MailSettings &settings, std::function<QString()> body,
                      Delivery delivery) {
    const auto port = mailPort(settings.port);
    if (!port) {
        failEarly(delivery, QStringLiteral("no valid port"));
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
    job->delivery = std::move(delivery);
    job->age.start();
    jobs_.push_back(job);
    if (job->delivery.restartNotice) {
        dropOldestRestartMail();
    }
    if (!job->user.isEmpty()) {
        if (job->delivery.password) {
            job->password = *job->delivery.password;
            job->delivery.password.reset();
        } else {
            lookUpPassword(job);
        }
    }
    if (!job->delivery.paced) {
        sendStep(job);
        disconnectStep(job);
        return;
    }
    advance(); // connect
    QTimer::singleShot(sendAfterMs_, Qt::PreciseTimer, this,
                       [this, weak = std::weak_ptr<Job>(job)] { sendStep(weak); });
}

void Mailer::sendStep(const std::weak_ptr<Job> &weak) {
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
    if (!job->delivery.paced) {
        return; // the disconnect follows at once
    }
    advance();
    QTimer::singleShot(disconnectAfterMs_, Qt::PreciseTimer, this,
                       [this, weak] { disconnectStep(weak); });
}

void Mailer::disconnectStep(const std::weak_ptr<Job> &weak) {
    if (const auto job = weak.lock()) {
        job->disconnectAsked = true;
        advance();
    }
}

void Mailer::advance() {
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
            startSession(job);
        }
        if (job->message && !job->sendDone) {
            job->sendDone = true;
            addNotes(*job);
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

void Mailer::dropOldestRestartMail() {
    // The first in line may be talking to the server already: it stays.
    const auto waiting = [](const std::shared_ptr<Job> &job) {
        return job->delivery.restartNotice && !job->session && !job->abandoned;
    };
    if (std::count_if(jobs_.begin() + 1, jobs_.end(), waiting) <= QueueLimit) {
        return;
    }
    const auto oldest = std::find_if(jobs_.begin() + 1, jobs_.end(), waiting);
    const std::shared_ptr<Job> job = *oldest;
    jobs_.erase(oldest);
    ++dropped_;
    ++droppedUntold_;
    // Counted as a failure, but not logged: a crash loop would flood the log.
    job->delivery.logFailures = false;
    settle(job, false, QStringLiteral("dropped: too many restart e-mails were waiting"));
}

void Mailer::addNotes(Job &job) {
    if (!job.delivery.paced) {
        return; // the test e-mail: someone waits for it alone
    }
    QString &body = job.message->body;
    if (droppedUntold_ > 0) {
        body +=
            QLatin1Char('\n') +
            (droppedUntold_ == 1
                 ? QStringLiteral("1 earlier restart e-mail was dropped")
                 : QStringLiteral("%1 earlier restart e-mails were dropped").arg(droppedUntold_)) +
            QStringLiteral(": too many were waiting.");
        job.toldDropped = std::exchange(droppedUntold_, 0);
    }
    if (const qint64 age = job.age.elapsed(); age >= lateAfterMs_) {
        body += QStringLiteral("\nThis e-mail was sent %1 late.").arg(ageText(age));
    }
}

void Mailer::startSession(const std::shared_ptr<Job> &job) {
    auto *session = new smtp::Session(this);
    job->session = session;
    session->setTimeout(job->delivery.replyTimeoutMs.value_or(replyTimeoutMs_));
    session->setDrainTimeout(job->delivery.replyTimeoutMs.value_or(drainTimeoutMs_));
    session->setPort(job->port);
    session->setHost(job->host);
    session->setCaFile(job->caFile);
    session->setLogin(job->user, job->password);
    job->password.clear(); // the session holds it now
    // The connections hold the job: a session that reports after its job
    // left the line still has it to report to.
    connect(session, &smtp::Session::messageSent, this, [this, job] { settle(job, true, {}); });
    connect(session, &smtp::Session::messageFailed, this,
            [this, job](const QString &reason) { settle(job, false, reason); });
    connect(session, &smtp::Session::recipientRefused, this,
            [this, job](const QString &address, const QString &response) {
                askToContinue(job, address, response);
            });
    connect(session, &smtp::Session::finished, this, [this, job] {
        if (job->sendDone && !job->session->isActive()) {
            settle(job, false,
                   QStringLiteral("The server ended the session before it took the e-mail."));
        }
    });
    // Queued: a session can finish inside the calls of advance(), and the
    // next pass must not run inside this one.
    connect(session, &smtp::Session::finished, this, &Mailer::advance, Qt::QueuedConnection);
    session->connectToServer();
}

void Mailer::lookUpPassword(const std::shared_ptr<Job> &job) {
    if (!passwordSource_) {
        job->abandoned = true;
        settle(job, false, QStringLiteral("no password can be looked up for ") + job->user);
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
                            settle(waiting, false, problem);
                        }
                        advance();
                    });
}

void Mailer::askToContinue(const std::shared_ptr<Job> &job, const QString &address,
                           const QString &response) {
    const QString refused = QStringLiteral("The server refused %1: %2").arg(address, response);
    // The session waits for the answer; one that ended meanwhile takes none.
    const Answer answer = [this, job, refused,
                           guard = QPointer<smtp::Session>(job->session)](bool goOn) {
        if (!guard) {
            return;
        }
        guard->answerRefusal(goOn);
        if (!goOn) {
            // Nobody further gets it, as the user chose: no failure to log.
            job->delivery.logFailures = false;
            settle(job, false, refused);
            guard->disconnectFromServer();
        }
    };
    if (!job->delivery.askOnRefusal) {
        answer(false);
        return;
    }
    const QString text =
        QStringLiteral("An error occured sending the following email address: ") + address +
        QStringLiteral("\r\n") + QStringLiteral("The server response was: ") + response +
        QStringLiteral("\r\n") + QStringLiteral("Would you like to continue sending?");
    if (confirm_) {
        confirm_(text, answer);
    } else {
        answer(false);
    }
}

void Mailer::settle(const std::shared_ptr<Job> &job, bool accepted, const QString &problem) {
    if (job->settled) {
        return;
    }
    job->settled = true;
    if (!accepted) {
        droppedUntold_ += std::exchange(job->toldDropped, 0);
    }
    if (!accepted && job->delivery.logFailures) {
        logFailure(problem);
    }
    if (!accepted) {
        emit failed(problem);
    }
    if (job->delivery.done) {
        QMetaObject::invokeMethod(
            this, [done = job->delivery.done, accepted, problem] { done(accepted, problem); },
            Qt::QueuedConnection);
    }
}

void Mailer::failEarly(const Delivery &delivery, const QString &problem) {
    auto job = std::make_shared<Job>();
    job->delivery = delivery;
    settle(job, false, problem);
}

void Mailer::logFailure(const QString &reason) const {
    if (writeLogEntry_) {
        writeLogEntry_(LogWriter::eventLines(
            QStringLiteral(" E-mail notification could not be sent: ") + reason));
    }
}

} // namespace engine
