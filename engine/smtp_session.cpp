#include "engine/smtp_session.h"

#include "core/regular_file.h"

#include <QFile>
#include <QHostAddress>
#include <QSslConfiguration>
#include <QSslSocket>

#include <utility>

namespace smtp {
namespace {

// RFC 5321 4.5.3.1.5: a reply line is at most 512 octets; a server that sends
// far more without ending a reply is not talking SMTP.
constexpr qsizetype MaxPendingReply = qsizetype{64} * 1024;
// Bound on waiting for the goodbye once QUIT was sent.
constexpr int QuitTimeoutMs = 5000;
// Far beyond any bundle of authorities; keeps a wrong file from filling memory.
constexpr qsizetype MaxCaFileBytes = qsizetype{1024} * 1024;

QList<QSslCertificate> &extraCertificates() {
    static QList<QSslCertificate> certificates;
    return certificates;
}

/// EHLO argument: the address literal of our end (RFC 5321 4.1.3), which is
/// always valid where a host name might not be.
QByteArray addressLiteral(const QHostAddress &local) {
    bool isV4 = false;
    const quint32 v4 = local.toIPv4Address(&isV4);
    if (isV4) {
        return "[" + QHostAddress(v4).toString().toLatin1() + "]";
    }
    if (local.protocol() == QAbstractSocket::IPv6Protocol) {
        return "[IPv6:" + local.toString().toLatin1() + "]";
    }
    return "[127.0.0.1]";
}

QString shortened(const QString &text) {
    return text.size() > 120 ? text.left(117) + QStringLiteral("...") : text;
}

// Overwrites the bytes in place before letting them go, so a password does
// not linger in freed memory. Only for buffers this file made and owns alone.
void wipe(QByteArray &bytes) {
    bytes.fill('\0');
    bytes.clear();
}

void wipe(QString &text) {
    text.fill(QChar());
    text.clear();
}

} // namespace

QString readAuthorities(const QString &path, QList<QSslCertificate> &certificates) {
    const QString name = QStringLiteral("certificate authority file \"%1\" ").arg(path);
    const core::RegularFileRead read = core::readRegularFile(
        QFile::encodeName(path).toStdString(), static_cast<std::size_t>(MaxCaFileBytes));
    const QString systemWords = QString::fromLocal8Bit(read.errorText());
    const QByteArray data = QByteArray::fromStdString(read.data);
    QString problem;
    using Status = core::RegularFileRead::Status;
    switch (read.status) {
    case Status::Read:
        break;
    case Status::Missing:
    case Status::Unreadable:
    case Status::SymbolicLink:
    case Status::Refused:
        problem = QStringLiteral("cannot be read (%1)").arg(systemWords);
        break;
    case Status::Directory:
    case Status::NotRegular:
        problem = QStringLiteral("is not a regular file");
        break;
    case Status::TooLarge:
        problem = QStringLiteral("is larger than 1 MiB");
        break;
    }
    if (problem.isEmpty()) {
        const QList<QSslCertificate> found = QSslCertificate::fromData(data, QSsl::Pem);
        if (found.isEmpty()) {
            problem = QStringLiteral("holds no PEM certificate");
        }
        certificates.append(found);
    }
    return problem.isEmpty() ? problem : name + problem;
}

void addTrustedCertificates(const QList<QSslCertificate> &certificates) {
    extraCertificates().append(certificates);
}

Session::Session(QObject *parent) : QObject(parent) {
    replyTimer_.setSingleShot(true);
    drainTimer_.setSingleShot(true);
    connect(&replyTimer_, &QTimer::timeout, this, &Session::onTimeout);
    connect(&drainTimer_, &QTimer::timeout, this, &Session::onDrainTimeout);
}

Session::~Session() {
    wipe(password_);
    if (socket_) {
        socket_->disconnect(this);
        socket_->abort();
        delete socket_;
    }
}

void Session::setLogin(const QString &user, const QString &password) {
    wipe(password_);
    user_ = user;
    // A copy of our own, so wipe() overwrites the buffer this object holds.
    password_ = QString(password.constData(), password.size());
}

bool Session::isActive() const {
    return state_ != State::Idle && state_ != State::Failed;
}

bool Session::hasWork() const {
    return current_.has_value() || !queue_.isEmpty();
}

void Session::connectToServer() {
    if (isActive()) {
        return;
    }
    ++session_;
    state_ = State::Connecting;
    quitRequested_ = false;
    tcpConnected_ = false;
    drainLeftMs_ = -1;
    startTlsOffered_ = false;
    authOffered_.clear();
    encrypted_ = false;
    lastError_.clear();
    tlsErrors_.clear();
    buffer_.clear();
    closeSocket();
    if (port_ < 1 || port_ > 65535) {
        failLater(QStringLiteral("no valid port"));
        return;
    }
    if (host_.trimmed().isEmpty()) {
        failLater(QStringLiteral("no mail server set"));
        return;
    }

    QList<QSslCertificate> authorities = extraCertificates();
    if (!caFile_.isEmpty()) {
        // No quiet fallback to the system's authorities alone: the user named this file.
        const QString problem = readAuthorities(caFile_, authorities);
        if (!problem.isEmpty()) {
            failLater(problem);
            return;
        }
    }

    socket_ = new QSslSocket(this);
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    if (!authorities.isEmpty()) {
        // Any authority added by hand ends Qt's loading of the system's on
        // demand, so the system's are named here too.
        tls.setCaCertificates(QSslConfiguration::systemCaCertificates() + authorities);
    }
    socket_->setSslConfiguration(tls);
    connect(socket_, &QSslSocket::connected, this, &Session::onConnected);
    connect(socket_, &QSslSocket::encrypted, this, &Session::onEncrypted);
    connect(socket_, &QSslSocket::readyRead, this, &Session::onReadyRead);
    connect(socket_, &QSslSocket::errorOccurred, this, &Session::onSocketError);
    connect(socket_, &QSslSocket::disconnected, this, &Session::onDisconnected);
    connect(socket_, &QSslSocket::sslErrors, this, [this](const QList<QSslError> &errors) {
        for (const QSslError &e : errors) {
            tlsErrors_.append(e.errorString());
        }
    });

    replyTimer_.start(timeoutMs_);
    // Port 465 is SMTP over TLS from the first byte (RFC 8314 3.3).
    if (useImplicitTls()) {
        socket_->connectToHostEncrypted(host_.trimmed(), static_cast<quint16>(port_));
    } else {
        socket_->connectToHost(host_.trimmed(), static_cast<quint16>(port_));
    }
}

void Session::send(const Message &message) {
    if (!isActive()) {
        const QString reason =
            state_ == State::Failed ? lastError_ : QStringLiteral("not connected to a mail server");
        rejectLater(reason);
        return;
    }
    queue_.append(message);
    if (state_ == State::Ready) {
        nextMessage();
    }
}

void Session::disconnectFromServer() {
    if (!isActive()) {
        state_ = State::Idle;
        return;
    }
    if (quitRequested_) {
        return;
    }
    quitRequested_ = true;
    if (hasWork()) {
        if (state_ != State::Deciding) {
            drainTimer_.start(drainTimeoutMs_);
        }
        if (state_ == State::Ready) {
            nextMessage();
        }
        return;
    }
    switch (state_) {
    case State::Ready:
        quit();
        break;
    case State::Reset:
    case State::Quit:
        break; // the step under way ends in QUIT
    default:
        // Still setting up with nothing to send: there is nobody to say goodbye to.
        endSession();
        break;
    }
}

void Session::onConnected() {
    tcpConnected_ = true;
    if (!useImplicitTls()) {
        state_ = State::Greeting;
        replyTimer_.start(timeoutMs_);
    }
}

void Session::onEncrypted() {
    encrypted_ = true;
    if (state_ == State::Connecting) {
        state_ = State::Greeting;
        replyTimer_.start(timeoutMs_);
    } else if (state_ == State::Handshake) {
        // RFC 3207 4.2: forget everything learnt before TLS and greet again.
        buffer_.clear();
        sendEhlo();
    }
}

void Session::onReadyRead() {
    if (!socket_) {
        return;
    }
    buffer_ += socket_->readAll();
    const quint64 session = session_;
    while (socket_ && session == session_ && isActive()) {
        auto reply = takeReply(buffer_);
        if (!reply) {
            if (buffer_.size() > MaxPendingReply) {
                fail(QStringLiteral("unreadable answer from the server"));
            }
            return;
        }
        handleReply(*reply);
    }
}

bool Session::awaitingReply() const {
    switch (state_) {
    case State::Greeting:
    case State::Ehlo:
    case State::Helo:
    case State::StartTls:
    case State::Auth:
    case State::AuthUser:
    case State::AuthPassword:
    case State::MailFrom:
    case State::RcptTo:
    case State::Data:
    case State::Content:
    case State::Reset:
    case State::Quit:
        return true;
    default:
        return false;
    }
}

void Session::handleReply(const Reply &reply) {
    if (!awaitingReply() && reply.code != 421) {
        return; // nothing waits for an unasked-for reply
    }
    replyTimer_.stop();
    if (reply.code == 0) {
        fail(QStringLiteral("unreadable answer from the server"));
        return;
    }
    if (reply.code == 421 && state_ != State::Quit) {
        // RFC 5321 3.8: the server is closing the session.
        fail(QStringLiteral("server closed the session (%1)").arg(shortened(reply.text())));
        return;
    }
    const bool ok = reply.code >= 200 && reply.code < 300;
    switch (state_) {
    case State::Greeting:
        if (reply.code == 220) {
            sendEhlo();
        } else {
            fail(QStringLiteral("server refused the session (%1)").arg(shortened(reply.text())));
        }
        break;
    case State::Ehlo:
        if (ok) {
            greeted(reply.lines.mid(1));
        } else if (reply.code >= 500) {
            // RFC 5321 3.2: a server that does not know EHLO still knows HELO.
            command("HELO " + addressLiteral(socket_->localAddress()), State::Helo);
        } else {
            fail(QStringLiteral("server refused the session (%1)").arg(shortened(reply.text())));
        }
        break;
    case State::Helo:
        if (ok) {
            greeted({});
        } else {
            fail(QStringLiteral("server refused the session (%1)").arg(shortened(reply.text())));
        }
        break;
    case State::StartTls:
        if (reply.code == 220) {
            // RFC 3207 5: whatever came with the 220 in clear text is dropped.
            buffer_.clear();
            state_ = State::Handshake;
            replyTimer_.start(timeoutMs_);
            socket_->startClientEncryption();
        } else if (!user_.isEmpty()) {
            fail(QStringLiteral("the server refused encryption (%1); the password is not sent "
                                "unencrypted")
                     .arg(shortened(reply.text())));
        } else {
            // RFC 3207 4: the session goes on as it was before STARTTLS.
            sessionReady();
        }
        break;
    case State::AuthUser:
    case State::AuthPassword:
        // AUTH LOGIN: the first challenge asks for the user, the second for
        // the password, whatever words the server puts in them.
        if (reply.code != 334) {
            fail(QStringLiteral("sign-in refused: %1").arg(shortened(reply.text())));
        } else if (state_ == State::AuthUser) {
            sendSecret({}, user_.toUtf8(), State::AuthPassword);
        } else {
            sendSecret({}, password_.toUtf8(), State::Auth);
        }
        break;
    case State::Auth:
        if (reply.code == 235) {
            sessionReady();
        } else {
            fail(QStringLiteral("sign-in refused: %1").arg(shortened(reply.text())));
        }
        break;
    case State::MailFrom:
        if (ok) {
            nextRecipient();
        } else {
            dropMessage(
                QStringLiteral("server refused the sender (%1)").arg(shortened(reply.text())));
        }
        break;
    case State::RcptTo:
        if (ok) {
            ++accepted_;
            nextRecipient();
        } else {
            state_ = State::Deciding;
            // The user's time to answer is not the server's time.
            if (drainTimer_.isActive()) {
                drainLeftMs_ = drainTimer_.remainingTime();
                drainTimer_.stop();
            }
            const QString address = envelopeAddress(recipients_.value(nextRecipient_ - 1));
            const QString response = reply.text();
            // Asked from a fresh event, so an answer given at once does not
            // run inside the socket's notification.
            const quint64 session = session_;
            QMetaObject::invokeMethod(
                this,
                [this, session, address, response] {
                    if (session == session_ && state_ == State::Deciding) {
                        emit recipientRefused(address, response);
                    }
                },
                Qt::QueuedConnection);
        }
        break;
    case State::Data:
        if (reply.code == 354) {
            const QByteArray content = buildMessage(*current_, QDateTime::currentDateTime(),
                                                    newMessageId(current_->sender));
            state_ = State::Content;
            socket_->write(dotStuff(content) + ".\r\n");
            replyTimer_.start(timeoutMs_);
        } else {
            dropMessage(
                QStringLiteral("server refused the message (%1)").arg(shortened(reply.text())));
        }
        break;
    case State::Content:
        // The transaction is over either way (RFC 5321 4.1.1.4).
        messageDone(
            ok ? QString()
               : QStringLiteral("server refused the message (%1)").arg(shortened(reply.text())));
        break;
    case State::Reset:
        state_ = State::Ready;
        nextMessage();
        break;
    case State::Quit:
        endSession();
        break;
    default:
        break;
    }
}

void Session::command(const QByteArray &line, State next) {
    state_ = next;
    socket_->write(line + "\r\n");
    replyTimer_.start(timeoutMs_);
}

void Session::sendEhlo() {
    command("EHLO " + addressLiteral(socket_->localAddress()), State::Ehlo);
}

void Session::greeted(const QStringList &extensions) {
    startTlsOffered_ = false;
    // RFC 3207 4.2: what was offered before TLS no longer counts.
    authOffered_.clear();
    for (const QString &line : extensions) {
        const QString extension = line.trimmed();
        if (extension.compare(QLatin1String("STARTTLS"), Qt::CaseInsensitive) == 0) {
            startTlsOffered_ = true;
        } else if (extension.startsWith(QLatin1String("AUTH"), Qt::CaseInsensitive) &&
                   (extension.size() == 4 || extension[4] == u' ' || extension[4] == u'=')) {
            // "AUTH=" is how some older servers still announce it.
            authOffered_ += extension.mid(5).toUpper().split(u' ', Qt::SkipEmptyParts);
        }
    }
    if (startTlsOffered_ && !encrypted_) {
        command("STARTTLS", State::StartTls);
    } else {
        signIn();
    }
}

void Session::signIn() {
    if (user_.isEmpty()) {
        sessionReady();
    } else if (!encrypted_ || !socket_->isEncrypted()) {
        fail(QStringLiteral("the server offers no encryption (STARTTLS); the password is not "
                            "sent unencrypted"));
    } else if (authOffered_.contains(QLatin1String("PLAIN"))) {
        // RFC 4616: authorization identity (empty), NUL, user, NUL, password.
        QByteArray user = user_.toUtf8();
        QByteArray password = password_.toUtf8();
        QByteArray plain;
        plain.reserve(user.size() + password.size() + 2);
        plain.append('\0').append(user).append('\0').append(password);
        wipe(password);
        sendSecret("AUTH PLAIN ", std::move(plain), State::Auth);
    } else if (authOffered_.contains(QLatin1String("LOGIN"))) {
        command("AUTH LOGIN", State::AuthUser);
    } else {
        fail(QStringLiteral("the server offers neither AUTH PLAIN nor AUTH LOGIN for the sign-in"));
    }
}

void Session::sendSecret(const QByteArray &prefix, QByteArray secret, State next) {
    QByteArray encoded = secret.toBase64();
    wipe(secret);
    QByteArray line;
    line.reserve(prefix.size() + encoded.size() + 2);
    line.append(prefix).append(encoded).append("\r\n");
    wipe(encoded);
    state_ = next;
    // As bytes, not as the array: the socket keeps no share of a buffer about to be wiped.
    socket_->write(line.constData(), line.size());
    wipe(line);
    replyTimer_.start(timeoutMs_);
}

void Session::sessionReady() {
    state_ = State::Ready;
    nextMessage();
}

void Session::nextMessage() {
    if (state_ != State::Ready) {
        return;
    }
    if (queue_.isEmpty()) {
        if (quitRequested_) {
            quit();
        }
        return;
    }
    current_ = queue_.takeFirst();
    recipients_ = splitRecipients(current_->recipients);
    nextRecipient_ = 0;
    accepted_ = 0;
    if (recipients_.isEmpty()) {
        messageDone(QStringLiteral("no recipient address"));
        return;
    }
    command("MAIL FROM:<" + envelopeAddress(current_->sender).toUtf8() + ">", State::MailFrom);
}

void Session::nextRecipient() {
    if (nextRecipient_ < recipients_.size()) {
        const QString address = envelopeAddress(recipients_[nextRecipient_++]);
        command("RCPT TO:<" + address.toUtf8() + ">", State::RcptTo);
    } else if (accepted_ == 0) {
        dropMessage(QStringLiteral("server refused every recipient"));
    } else {
        command("DATA", State::Data);
    }
}

void Session::answerRefusal(bool goOn) {
    if (state_ != State::Deciding) {
        return; // no question open, or the session ended while it was
    }
    if (quitRequested_ && !drainTimer_.isActive()) {
        drainTimer_.start(drainLeftMs_ >= 0 ? drainLeftMs_ : drainTimeoutMs_);
    }
    drainLeftMs_ = -1;
    if (goOn) {
        nextRecipient();
        return;
    }
    current_.reset();
    if (quitRequested_ && queue_.isEmpty()) {
        quit();
    } else {
        command("RSET", State::Reset);
    }
}

void Session::messageDone(const QString &failure) {
    current_.reset();
    state_ = State::Ready;
    QPointer<Session> self(this);
    if (failure.isEmpty()) {
        emit messageSent();
    } else {
        emit messageFailed(failure);
    }
    if (self && state_ == State::Ready) {
        nextMessage();
    }
}

void Session::dropMessage(const QString &reason) {
    current_.reset();
    // Clear the half-made transaction before anything else (RFC 5321 4.1.1.5).
    command("RSET", State::Reset);
    emit messageFailed(reason);
}

void Session::quit() {
    drainTimer_.stop();
    command("QUIT", State::Quit);
    replyTimer_.start(std::min(timeoutMs_, QuitTimeoutMs));
}

void Session::onSocketError() {
    if (!socket_ || !isActive()) {
        return;
    }
    const auto error = socket_->error();
    if (state_ == State::Quit && error == QAbstractSocket::RemoteHostClosedError) {
        endSession();
        return;
    }
    QString detail = socket_->errorString();
    if (!tlsErrors_.isEmpty()) {
        detail = tlsErrors_.join(QStringLiteral("; "));
    }
    if (error == QAbstractSocket::SslHandshakeFailedError || state_ == State::Handshake ||
        (state_ == State::Connecting && tcpConnected_)) {
        fail(QStringLiteral("secure connection failed (%1)").arg(shortened(detail)));
    } else if (state_ == State::Connecting) {
        fail(QStringLiteral("server could not be reached (%1)").arg(shortened(detail)));
    } else if (error == QAbstractSocket::RemoteHostClosedError) {
        fail(QStringLiteral("connection closed by the server"));
    } else {
        fail(QStringLiteral("connection lost (%1)").arg(shortened(detail)));
    }
}

void Session::onDisconnected() {
    if (!isActive()) {
        return;
    }
    if (state_ == State::Quit) {
        endSession();
    } else {
        fail(QStringLiteral("connection closed by the server"));
    }
}

void Session::onTimeout() {
    if (state_ == State::Quit) {
        endSession();
    } else if (state_ == State::Connecting) {
        fail(QStringLiteral("server could not be reached (no answer in %1 s)")
                 .arg(timeoutMs_ / 1000.0));
    } else {
        fail(QStringLiteral("no answer from the server in %1 s").arg(timeoutMs_ / 1000.0));
    }
}

void Session::onDrainTimeout() {
    if (isActive() && hasWork()) {
        fail(QStringLiteral("sending took longer than %1 s").arg(drainTimeoutMs_ / 1000.0));
    }
}

void Session::fail(const QString &reason) {
    lastError_ = reason;
    QList<Message> lost = queue_;
    if (current_) {
        lost.prepend(*current_);
    }
    queue_.clear();
    current_.reset();
    closeSocket();
    state_ = quitRequested_ ? State::Idle : State::Failed;
    QPointer<Session> self(this);
    for (qsizetype i = 0; i < lost.size() && self; ++i) {
        emit messageFailed(reason);
    }
    if (self) {
        emit finished();
    }
}

void Session::endSession() {
    closeSocket();
    state_ = State::Idle;
    emit finished();
}

void Session::closeSocket() {
    replyTimer_.stop();
    drainTimer_.stop();
    ++session_;
    if (socket_) {
        socket_->disconnect(this);
        if (socket_->state() == QAbstractSocket::ConnectedState) {
            socket_->disconnectFromHost();
        }
        socket_->abort();
        socket_->deleteLater();
        socket_ = nullptr;
    }
}

void Session::failLater(const QString &reason) {
    const quint64 session = session_;
    QMetaObject::invokeMethod(
        this,
        [this, reason, session] {
            if (session == session_ && state_ == State::Connecting) {
                fail(reason);
            }
        },
        Qt::QueuedConnection);
}

void Session::rejectLater(const QString &reason) {
    QMetaObject::invokeMethod(
        this, [this, reason] { emit messageFailed(reason); }, Qt::QueuedConnection);
}

} // namespace smtp
