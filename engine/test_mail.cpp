#include "engine/test_mail.h"

#include "engine/smtp_session.h"

namespace engine {

TestMail::TestMail(QObject *parent) : QObject(parent) {}

void TestMail::start(const MailSettings &settings, const QString &password) {
    bool ok = false;
    const int port = settings.port.trimmed().toInt(&ok);
    if (!ok || port < 1 || port > 65535) {
        finish(false, QStringLiteral("The port \"%1\" is no port number.").arg(settings.port));
        return;
    }
    if (settings.server.trimmed().isEmpty()) {
        finish(false, QStringLiteral("No SMTP server is given."));
        return;
    }
    session_ = new smtp::Session(this);
    session_->setTimeout(ReplyTimeoutMs);
    session_->setDrainTimeout(ReplyTimeoutMs);
    session_->setHost(settings.server.trimmed());
    session_->setPort(port);
    session_->setCaFile(settings.caFile);
    session_->setLogin(settings.user, settings.user.isEmpty() ? QString() : password);
    const QString server = settings.server.trimmed();
    connect(session_, &smtp::Session::messageSent, this, [this, server] {
        finish(true, QStringLiteral("The test e-mail was accepted by %1.").arg(server));
    });
    connect(session_, &smtp::Session::messageFailed, this,
            [this](const QString &reason) { finish(false, reason); });
    // A refused address is the outcome; the other recipients are not tried.
    connect(session_, &smtp::Session::recipientRefused, this,
            [this](const QString &address, const QString &response) {
                session_->answerRefusal(false);
                finish(false, QStringLiteral("The server refused %1: %2").arg(address, response));
            });
    connect(session_, &smtp::Session::finished, this, [this] {
        finish(false, QStringLiteral("The server ended the session before it took the e-mail."));
    });
    smtp::Message message;
    message.sender = settings.address;
    message.replyTo = settings.address;
    message.recipients = settings.sendTo;
    message.subject = RestartMailer::subject();
    message.body = body();
    session_->connectToServer();
    session_->send(message);
    session_->disconnectFromServer();
}

void TestMail::finish(bool accepted, const QString &outcome) {
    if (done_) {
        return;
    }
    done_ = true;
    emit finished(accepted, outcome);
}

} // namespace engine
