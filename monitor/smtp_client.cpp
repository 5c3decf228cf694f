#include "monitor/smtp_client.h"

#include <QHostAddress>
#include <QLocale>
#include <QRegularExpression>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QUuid>

namespace smtp {
namespace {

// RFC 5321 4.5.3.1.5: a reply line is at most 512 octets; a server that sends
// far more without ending a reply is not talking SMTP.
constexpr qsizetype MaxPendingReply = 64 * 1024;
// RFC 5322 2.1.1: lines must not exceed 998 octets.
constexpr qsizetype MaxLineLength = 998;
// Bound on waiting for the goodbye once QUIT was sent.
constexpr int QuitTimeoutMs = 5000;

QList<QSslCertificate> &extraCertificates() {
    static QList<QSslCertificate> certificates;
    return certificates;
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

bool isControl(QChar c) {
    return c.category() == QChar::Other_Control || c == QChar::LineSeparator ||
           c == QChar::ParagraphSeparator;
}

bool isPlainAscii(const QByteArray &bytes) {
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x80 || (u < 0x20 && c != '\r' && c != '\n' && c != '\t')) {
            return false;
        }
    }
    return true;
}

bool hasLongLine(const QByteArray &crlfText) {
    for (const QByteArray &line : crlfText.split('\n')) {
        if (line.size() > MaxLineLength + 1) {
            return true;
        }
    }
    return false;
}

/// Line ends made CR LF; a final line end added when the text does not end in one.
QByteArray toCrlf(const QByteArray &text) {
    QByteArray out;
    out.reserve(text.size() + text.size() / 32 + 2);
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r') {
            out += "\r\n";
            if (i + 1 < text.size() && text[i + 1] == '\n') {
                ++i;
            }
        } else if (c == '\n') {
            out += "\r\n";
        } else {
            out += c;
        }
    }
    if (!out.endsWith("\r\n")) {
        out += "\r\n";
    }
    return out;
}

/// RFC 2047 encoded words for a header value that is not plain ASCII or too
/// long for one line; each word holds whole UTF-8 characters.
QByteArray encodedWords(const QString &value) {
    const QByteArray utf8 = value.toUtf8();
    QList<QByteArray> words;
    qsizetype start = 0;
    while (start < utf8.size()) {
        qsizetype end = std::min(start + 45, utf8.size());
        while (end < utf8.size() && (static_cast<unsigned char>(utf8[end]) & 0xC0) == 0x80) {
            --end; // never split a character
        }
        words.append("=?UTF-8?B?" + utf8.mid(start, end - start).toBase64() + "?=");
        start = end;
    }
    return words.join("\r\n ");
}

QByteArray headerText(const QString &value) {
    const QString clean = cleanHeaderValue(value);
    const QByteArray ascii = clean.toUtf8();
    if (isPlainAscii(ascii) && ascii.size() <= 900) {
        return ascii;
    }
    return encodedWords(clean);
}

/// RFC 5322 3.3 date-time, always in English.
QByteArray rfc5322Date(const QDateTime &date) {
    const QLocale c = QLocale::c();
    const int offset = date.offsetFromUtc() / 60;
    const int absOffset = std::abs(offset);
    return (c.toString(date, QStringLiteral("ddd, d MMM yyyy HH:mm:ss ")) +
            (offset < 0 ? QLatin1Char('-') : QLatin1Char('+')) +
            QStringLiteral("%1%2")
                .arg(absOffset / 60, 2, 10, QLatin1Char('0'))
                .arg(absOffset % 60, 2, 10, QLatin1Char('0')))
        .toLatin1();
}

/// The domain of an address when it is a plain dot-atom, else "localhost".
QString domainOf(const QString &address) {
    static const QRegularExpression dotAtom(
        QStringLiteral("^[A-Za-z0-9!#$%&'*+/=?^_`{|}~-]+(\\.[A-Za-z0-9!#$%&'*+/=?^_`{|}~-]+)*$"));
    const QString domain = envelopeAddress(address).section(QLatin1Char('@'), -1);
    if (address.contains(QLatin1Char('@')) && dotAtom.match(domain).hasMatch()) {
        return domain;
    }
    return QStringLiteral("localhost");
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

} // namespace

QString Reply::text() const {
    return (QString::number(code) + QLatin1Char(' ') + lines.join(QLatin1Char(' '))).trimmed();
}

std::optional<Reply> takeReply(QByteArray &buffer) {
    Reply reply;
    qsizetype pos = 0;
    while (true) {
        const qsizetype end = buffer.indexOf('\n', pos);
        if (end < 0) {
            return std::nullopt;
        }
        QByteArray line = buffer.mid(pos, end - pos);
        if (line.endsWith('\r')) {
            line.chop(1);
        }
        pos = end + 1;
        const bool coded = line.size() >= 3 && isDigit(line[0]) && isDigit(line[1]) &&
                           isDigit(line[2]) &&
                           (line.size() == 3 || line[3] == ' ' || line[3] == '-');
        if (!coded) {
            buffer.remove(0, pos);
            return Reply{0, {QString::fromUtf8(line)}};
        }
        const int code = line.left(3).toInt();
        if (reply.lines.isEmpty()) {
            reply.code = code;
        } else if (code != reply.code) {
            buffer.remove(0, pos);
            return Reply{0, reply.lines + QStringList{QString::fromUtf8(line)}};
        }
        reply.lines.append(QString::fromUtf8(line.mid(4)));
        if (line.size() == 3 || line[3] == ' ') {
            buffer.remove(0, pos);
            return reply;
        }
    }
}

QStringList splitRecipients(const QString &text) {
    QStringList result;
    for (const QString &part : text.split(QLatin1Char(';'))) {
        const QString trimmed = part.trimmed();
        if (!trimmed.isEmpty()) {
            result.append(trimmed);
        }
    }
    return result;
}

QString cleanHeaderValue(const QString &value) {
    QString clean;
    clean.reserve(value.size());
    for (const QChar c : value) {
        if (!isControl(c)) {
            clean.append(c);
        }
    }
    return clean;
}

QString envelopeAddress(const QString &entry) {
    QString address = cleanHeaderValue(entry).trimmed();
    const qsizetype open = address.lastIndexOf(QLatin1Char('<'));
    const qsizetype close = address.indexOf(QLatin1Char('>'), open + 1);
    if (open >= 0 && close > open) {
        address = address.mid(open + 1, close - open - 1).trimmed();
    }
    address.remove(QLatin1Char('<'));
    address.remove(QLatin1Char('>'));
    return address;
}

QByteArray dotStuff(const QByteArray &text) {
    const QByteArray crlf = toCrlf(text);
    QByteArray out;
    out.reserve(crlf.size() + 16);
    bool lineStart = true;
    for (const char c : crlf) {
        if (lineStart && c == '.') {
            out += '.';
        }
        out += c;
        lineStart = c == '\n';
    }
    return out;
}

QByteArray quotedPrintable(const QByteArray &text) {
    static const char hex[] = "0123456789ABCDEF";
    QByteArray out;
    const QList<QByteArray> lines = text.split('\n');
    for (qsizetype n = 0; n < lines.size(); ++n) {
        QByteArray line = lines[n];
        const bool hardBreak = n + 1 < lines.size();
        if (hardBreak && line.endsWith('\r')) {
            line.chop(1);
        }
        if (!hardBreak && line.isEmpty()) {
            break;
        }
        int column = 0;
        for (qsizetype i = 0; i < line.size(); ++i) {
            const auto u = static_cast<unsigned char>(line[i]);
            const bool last = i + 1 == line.size();
            QByteArray piece;
            // Blanks at a line end would be lost in transport (RFC 2045 6.7 (3)).
            if ((u >= 33 && u <= 126 && u != '=') || ((u == ' ' || u == '\t') && !last)) {
                piece = QByteArray(1, static_cast<char>(u));
            } else {
                piece = QByteArray{"="} + hex[u >> 4] + hex[u & 0x0F];
            }
            if (column + piece.size() > 75) {
                out += "=\r\n";
                column = 0;
            }
            out += piece;
            column += static_cast<int>(piece.size());
        }
        if (hardBreak) {
            out += "\r\n";
        }
    }
    return out;
}

QByteArray buildMessage(const Message &message, const QDateTime &date, const QString &messageId) {
    QByteArray head;
    auto field = [&head](const char *name, const QByteArray &value) {
        head += name;
        head += ": ";
        head += value;
        head += "\r\n";
    };
    QStringList to;
    for (const QString &entry : splitRecipients(message.recipients)) {
        to.append(envelopeAddress(entry));
    }
    const QString from = envelopeAddress(message.sender);
    const QString replyTo = envelopeAddress(message.replyTo);

    field("Date", rfc5322Date(date));
    field("From", headerText(from));
    if (!replyTo.isEmpty() && replyTo.compare(from, Qt::CaseInsensitive) != 0) {
        field("Reply-To", headerText(replyTo));
    }
    if (!to.isEmpty()) {
        field("To", to.join(QStringLiteral(",\r\n ")).toUtf8());
    }
    field("Subject", headerText(message.subject));
    field("Message-ID", cleanHeaderValue(messageId).toUtf8());
    field("MIME-Version", "1.0");
    field("Content-Type", "text/plain; charset=UTF-8");

    QByteArray body = toCrlf(message.body.toUtf8());
    if (isPlainAscii(body) && !hasLongLine(body)) {
        field("Content-Transfer-Encoding", "7bit");
    } else {
        field("Content-Transfer-Encoding", "quoted-printable");
        body = quotedPrintable(body);
    }
    return head + "\r\n" + body;
}

QString newMessageId(const QString &sender) {
    return QLatin1Char('<') + QUuid::createUuid().toString(QUuid::WithoutBraces) +
           QLatin1Char('@') + domainOf(sender) + QLatin1Char('>');
}

void addTrustedCertificates(const QList<QSslCertificate> &certificates) {
    extraCertificates().append(certificates);
}

// ---------------------------------------------------------------------------

Client::Client(QObject *parent) : QObject(parent) {
    replyTimer_.setSingleShot(true);
    drainTimer_.setSingleShot(true);
    connect(&replyTimer_, &QTimer::timeout, this, &Client::onTimeout);
    connect(&drainTimer_, &QTimer::timeout, this, &Client::onDrainTimeout);
}

Client::~Client() {
    if (socket_) {
        socket_->disconnect(this);
        socket_->abort();
        delete socket_;
    }
}

bool Client::isActive() const {
    return state_ != State::Idle && state_ != State::Failed;
}

bool Client::hasWork() const {
    return current_.has_value() || !queue_.isEmpty();
}

void Client::connectToServer() {
    if (isActive()) {
        return;
    }
    ++session_;
    state_ = State::Connecting;
    quitRequested_ = false;
    tcpConnected_ = false;
    drainLeftMs_ = -1;
    startTlsOffered_ = false;
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

    socket_ = new QSslSocket(this);
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    if (!extraCertificates().isEmpty()) {
        tls.addCaCertificates(extraCertificates());
    }
    socket_->setSslConfiguration(tls);
    connect(socket_, &QSslSocket::connected, this, &Client::onConnected);
    connect(socket_, &QSslSocket::encrypted, this, &Client::onEncrypted);
    connect(socket_, &QSslSocket::readyRead, this, &Client::onReadyRead);
    connect(socket_, &QSslSocket::errorOccurred, this, &Client::onSocketError);
    connect(socket_, &QSslSocket::disconnected, this, &Client::onDisconnected);
    connect(socket_, &QSslSocket::sslErrors, this, [this](const QList<QSslError> &errors) {
        for (const QSslError &e : errors) {
            tlsErrors_.append(e.errorString());
        }
    });

    replyTimer_.start(timeoutMs_);
    // Port 465 is SMTP over TLS from the first byte (RFC 8314 3.3).
    if (port_ == 465) {
        socket_->connectToHostEncrypted(host_.trimmed(), static_cast<quint16>(port_));
    } else {
        socket_->connectToHost(host_.trimmed(), static_cast<quint16>(port_));
    }
}

void Client::send(const Message &message) {
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

void Client::disconnectFromServer() {
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

void Client::onConnected() {
    tcpConnected_ = true;
    if (port_ != 465) {
        state_ = State::Greeting;
        replyTimer_.start(timeoutMs_);
    }
}

void Client::onEncrypted() {
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

void Client::onReadyRead() {
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

bool Client::awaitingReply() const {
    switch (state_) {
    case State::Greeting:
    case State::Ehlo:
    case State::Helo:
    case State::StartTls:
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

void Client::handleReply(const Reply &reply) {
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
            startTlsOffered_ = false;
            for (qsizetype i = 1; i < reply.lines.size(); ++i) {
                if (reply.lines[i].trimmed().compare(QLatin1String("STARTTLS"),
                                                     Qt::CaseInsensitive) == 0) {
                    startTlsOffered_ = true;
                }
            }
            if (startTlsOffered_ && !encrypted_) {
                command("STARTTLS", State::StartTls);
            } else {
                sessionReady();
            }
        } else if (reply.code >= 500) {
            // RFC 5321 3.2: a server that does not know EHLO still knows HELO.
            command("HELO " + addressLiteral(socket_->localAddress()), State::Helo);
        } else {
            fail(QStringLiteral("server refused the session (%1)").arg(shortened(reply.text())));
        }
        break;
    case State::Helo:
        if (ok) {
            sessionReady();
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
        } else {
            // RFC 3207 4: the session goes on as it was before STARTTLS.
            sessionReady();
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
            // Asked from a fresh event: the question runs its own loop, which
            // must not sit inside the socket's notification.
            QMetaObject::invokeMethod(
                this, [this, address, response] { askAboutRecipient(address, response); },
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

void Client::command(const QByteArray &line, State next) {
    state_ = next;
    socket_->write(line + "\r\n");
    replyTimer_.start(timeoutMs_);
}

void Client::sendEhlo() {
    command("EHLO " + addressLiteral(socket_->localAddress()), State::Ehlo);
}

void Client::sessionReady() {
    state_ = State::Ready;
    nextMessage();
}

void Client::nextMessage() {
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

void Client::nextRecipient() {
    if (nextRecipient_ < recipients_.size()) {
        const QString address = envelopeAddress(recipients_[nextRecipient_++]);
        command("RCPT TO:<" + address.toUtf8() + ">", State::RcptTo);
    } else if (accepted_ == 0) {
        dropMessage(QStringLiteral("server refused every recipient"));
    } else {
        command("DATA", State::Data);
    }
}

void Client::askAboutRecipient(const QString &address, const QString &response) {
    const quint64 session = session_;
    QPointer<Client> self(this);
    bool cancel = false;
    emit sendError(address, response, cancel);
    if (!self || session != session_ || state_ != State::Deciding) {
        return; // the session ended while the question was open
    }
    if (quitRequested_ && !drainTimer_.isActive()) {
        drainTimer_.start(drainLeftMs_ >= 0 ? drainLeftMs_ : drainTimeoutMs_);
    }
    drainLeftMs_ = -1;
    if (!cancel) {
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

void Client::messageDone(const QString &failure) {
    current_.reset();
    state_ = State::Ready;
    QPointer<Client> self(this);
    if (failure.isEmpty()) {
        emit messageSent();
    } else {
        emit messageFailed(failure);
    }
    if (self && state_ == State::Ready) {
        nextMessage();
    }
}

void Client::dropMessage(const QString &reason) {
    current_.reset();
    // Clear the half-made transaction before anything else (RFC 5321 4.1.1.5).
    command("RSET", State::Reset);
    emit messageFailed(reason);
}

void Client::quit() {
    drainTimer_.stop();
    command("QUIT", State::Quit);
    replyTimer_.start(std::min(timeoutMs_, QuitTimeoutMs));
}

void Client::onSocketError() {
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

void Client::onDisconnected() {
    if (!isActive()) {
        return;
    }
    if (state_ == State::Quit) {
        endSession();
    } else {
        fail(QStringLiteral("connection closed by the server"));
    }
}

void Client::onTimeout() {
    if (state_ == State::Quit) {
        endSession();
    } else if (state_ == State::Connecting) {
        fail(QStringLiteral("server could not be reached (no answer in %1 s)")
                 .arg(timeoutMs_ / 1000.0));
    } else {
        fail(QStringLiteral("no answer from the server in %1 s").arg(timeoutMs_ / 1000.0));
    }
}

void Client::onDrainTimeout() {
    if (isActive() && hasWork()) {
        fail(QStringLiteral("sending took longer than %1 s").arg(drainTimeoutMs_ / 1000.0));
    }
}

void Client::fail(const QString &reason) {
    lastError_ = reason;
    QList<Message> lost = queue_;
    if (current_) {
        lost.prepend(*current_);
    }
    queue_.clear();
    current_.reset();
    closeSocket();
    state_ = quitRequested_ ? State::Idle : State::Failed;
    QPointer<Client> self(this);
    for (qsizetype i = 0; i < lost.size() && self; ++i) {
        emit messageFailed(reason);
    }
    if (self) {
        emit finished();
    }
}

void Client::endSession() {
    closeSocket();
    state_ = State::Idle;
    emit finished();
}

void Client::closeSocket() {
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

void Client::failLater(const QString &reason) {
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

void Client::rejectLater(const QString &reason) {
    QMetaObject::invokeMethod(
        this, [this, reason] { emit messageFailed(reason); }, Qt::QueuedConnection);
}

} // namespace smtp
