#include "engine/metrics_server.h"

#include "core/mail_secret.h"
#include "core/program_folder.h"
#include "engine/kept_token.h"

#include <QCryptographicHash>
#include <QList>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <string_view>

namespace engine {

namespace {

QByteArray sha256(const QByteArray &data) {
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256);
}

/// Equal digests of equal length, in a time that does not depend on where they differ.
bool sameDigest(const QByteArray &a, const QByteArray &b) {
    if (a.size() != b.size()) {
        return false;
    }
    unsigned char difference = 0;
    for (qsizetype i = 0; i < a.size(); ++i) {
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    }
    return difference == 0;
}

struct Request {
    QByteArray method;
    QByteArray path; ///< without its query
    QList<QPair<QByteArray, QByteArray>> headers;

    /// Every header `name` (any case), joined as HTTP joins repeated fields.
    std::optional<QByteArray> header(const QByteArray &name) const {
        std::optional<QByteArray> value;
        for (const auto &[key, text] : headers) {
            if (key.compare(name, Qt::CaseInsensitive) == 0) {
                value = value ? *value + ", " + text : text;
            }
        }
        return value;
    }
};

bool isTokenChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool isToken(QByteArrayView text) {
    return !text.isEmpty() && std::all_of(text.begin(), text.end(), isTokenChar);
}

/// The request line and headers of `head`, or nullopt when they break HTTP/1.x.
std::optional<Request> parseHead(const QByteArray &head) {
    QList<QByteArray> lines = head.split('\n');
    for (QByteArray &line : lines) {
        if (line.endsWith('\r')) {
            line.chop(1);
        }
    }
    // Blank lines before the request line are allowed (RFC 9112 2.2).
    while (!lines.isEmpty() && lines.front().isEmpty()) {
        lines.removeFirst();
    }
    while (!lines.isEmpty() && lines.back().isEmpty()) {
        lines.removeLast();
    }
    if (lines.isEmpty()) {
        return std::nullopt;
    }
    const QList<QByteArray> parts = lines.front().split(' ');
    if (parts.size() != 3 || !isToken(parts[0]) || !parts[1].startsWith('/') ||
        (parts[2] != "HTTP/1.1" && parts[2] != "HTTP/1.0")) {
        return std::nullopt;
    }
    const auto controls = [](QByteArrayView text) {
        return std::any_of(text.begin(), text.end(), [](char c) {
            return static_cast<unsigned char>(c) < 0x20 && c != '\t';
        });
    };
    if (controls(parts[1])) {
        return std::nullopt;
    }
    Request request;
    request.method = parts[0];
    const qsizetype query = parts[1].indexOf('?');
    request.path = query < 0 ? parts[1] : parts[1].left(query);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray &line = lines[i];
        const qsizetype colon = line.indexOf(':');
        // A folded line or a name with blanks is refused (RFC 9112 5.1, 5.2).
        if (colon <= 0 || !isToken(QByteArrayView(line).first(colon)) ||
            controls(QByteArrayView(line).sliced(colon + 1))) {
            return std::nullopt;
        }
        request.headers.emplaceBack(line.left(colon), line.mid(colon + 1).trimmed());
    }
    return request;
}

QByteArray reasonOf(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 431:
        return "Request Header Fields Too Large";
    case 503:
        return "Service Unavailable";
    default:
        return "Error";
    }
}

struct Reply {
    int status = 200;
    QByteArray contentType = "text/plain; charset=utf-8";
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers = {};
};

/// The reply on the wire; a HEAD request gets its head alone.
QByteArray serialize(const Reply &reply, bool headOnly) {
    QByteArray out = "HTTP/1.1 " + QByteArray::number(reply.status) + ' ' + reasonOf(reply.status) +
                     "\r\nContent-Type: " + reply.contentType +
                     "\r\nContent-Length: " + QByteArray::number(reply.body.size()) +
                     "\r\nConnection: close\r\nCache-Control: no-store\r\n";
    for (const auto &[name, value] : reply.headers) {
        out += name + ": " + value + "\r\n";
    }
    out += "\r\n";
    if (!headOnly) {
        out += reply.body;
    }
    return out;
}

Reply plain(int status, const QByteArray &text) {
    return Reply{status, "text/plain; charset=utf-8", text + '\n'};
}

/// The credentials of an "Authorization: Bearer <token>" value; the scheme in any case.
std::optional<QByteArray> bearerToken(const std::optional<QByteArray> &authorization) {
    if (!authorization) {
        return std::nullopt;
    }
    const QByteArray value = authorization->trimmed();
    const qsizetype blank = value.indexOf(' ');
    if (blank < 0 || value.left(blank).compare("bearer", Qt::CaseInsensitive) != 0) {
        return std::nullopt;
    }
    QByteArray token = value.mid(blank + 1).trimmed();
    if (token.isEmpty()) {
        return std::nullopt;
    }
    return token;
}

/// Whether the file at `path` is no longer the one `stamp` described; `stamp`
/// becomes what it is now. A change too recent to judge counts once more when
/// it has settled, and not at every call until then.
bool changedSince(core::FileStamp &stamp, const std::string &path) {
    const core::FileStamp now = core::fileStamp(path);
    core::FileStamp before = stamp;
    core::FileStamp after = now;
    before.settled = after.settled = true;
    const bool changed = !core::unchanged(before, after) || (now.settled && !stamp.settled);
    stamp = now;
    return changed;
}

std::string tokenPath() {
    return core::settingsFolder() + '/' + mailsecret::MetricsTokenFileName;
}

} // namespace

struct MetricsServer::Connection {
    QTcpSocket *socket = nullptr;
    QTimer *deadline = nullptr;
    QByteArray head;
    bool overflowed = false;
    bool answered = false;
    bool local = false; ///< from a loopback address
    bool fresh = true;  ///< not yet through a trim: not closed for another
};

QString MetricsServer::Address::text() const {
    const QString name = host.toString();
    return (host.protocol() == QAbstractSocket::IPv6Protocol
                ? QLatin1Char('[') + name + QLatin1Char(']')
                : name) +
           QLatin1Char(':') + QString::number(port);
}

MetricsServer::MetricsServer(Renderer renderer, Log log, QObject *parent)
    : QObject(parent), renderer_(std::move(renderer)), log_(std::move(log)),
      trimTimer_(new QTimer(this)) {
    trimTimer_->setSingleShot(true);
    trimTimer_->setInterval(GraceMs);
    connect(trimTimer_, &QTimer::timeout, this, &MetricsServer::trim);
}

MetricsServer::~MetricsServer() {
    stop();
}

std::optional<MetricsServer::Address> MetricsServer::parseListen(const QString &text,
                                                                 QString *problem) {
    const QString written = text.trimmed();
    const auto refuse = [&](const QString &why) -> std::optional<Address> {
        if (problem) {
            *problem = QLatin1Char('"') + written + QStringLiteral("\": ") + why;
        }
        return std::nullopt;
    };
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,5}$"));
    static const QRegularExpression dotted(
        QStringLiteral("^[0-9]{1,3}\\.[0-9]{1,3}\\.[0-9]{1,3}\\.[0-9]{1,3}$"));
    QString host;
    QString port;
    bool bracketed = false;
    if (written.startsWith(QLatin1Char('['))) {
        const qsizetype close = written.indexOf(QLatin1Char(']'));
        if (close < 0 || written.mid(close + 1, 1) != QStringLiteral(":")) {
            return refuse(QStringLiteral("write an IPv6 address and its port as [::1]:9464"));
        }
        host = written.mid(1, close - 1);
        port = written.mid(close + 2);
        bracketed = true;
    } else if (const qsizetype colon = written.lastIndexOf(QLatin1Char(':')); colon >= 0) {
        host = written.left(colon);
        port = written.mid(colon + 1);
        if (host.contains(QLatin1Char(':'))) {
            return refuse(QStringLiteral("write an IPv6 address in brackets, as [::1]:9464"));
        }
    } else if (digits.match(written).hasMatch()) {
        port = written;
    } else {
        return refuse(QStringLiteral("not an address and port, such as 127.0.0.1:9464"));
    }
    bool number = false;
    const int value = port.toInt(&number);
    if (!digits.match(port).hasMatch() || !number || value < 1 || value > 65535) {
        return refuse(QStringLiteral("the port must be a number from 1 to 65535"));
    }
    Address address;
    address.port = static_cast<quint16>(value);
    if (bracketed) {
        address.host = QHostAddress(host);
        if (address.host.protocol() != QAbstractSocket::IPv6Protocol) {
            return refuse(QStringLiteral("\"%1\" is not an IPv6 address").arg(host));
        }
    } else if (host.isEmpty() || host.compare(u"localhost", Qt::CaseInsensitive) == 0) {
        // Loopback unless another address is written: the metrics tell what runs here.
        address.host = QHostAddress(QHostAddress::LocalHost);
    } else {
        address.host = QHostAddress(host);
        if (!dotted.match(host).hasMatch() ||
            address.host.protocol() != QAbstractSocket::IPv4Protocol) {
            return refuse(QStringLiteral("\"%1\" is not an IP address; only localhost is "
                                         "taken as a name")
                              .arg(host));
        }
    }
    return address;
}

void MetricsServer::apply(const QString &listen) {
    const QString written = listen.trimmed();
    if (written.isEmpty()) {
        if (listener_) {
            log_(QStringLiteral("The metrics are no longer served."));
        }
        stop();
        problem_.clear();
        return;
    }
    QString problem;
    const std::optional<Address> address = parseListen(written, &problem);
    if (!address) {
        stop();
        note(problem);
        return;
    }
    if (listener_ && address_ == address) {
        reloadToken();
        return;
    }
    stop();
    auto *listener = new QTcpServer(this);
    if (!listener->listen(address->host, address->port)) {
        QString why;
        switch (listener->serverError()) {
        case QAbstractSocket::AddressInUseError:
            why = QStringLiteral("address in use");
            break;
        case QAbstractSocket::SocketAddressNotAvailableError:
            why = QStringLiteral("address not available on this machine");
            break;
        case QAbstractSocket::SocketAccessError:
            why = QStringLiteral("permission denied");
            break;
        default:
            why = listener->errorString();
            break;
        }
        delete listener;
        note(address->text() + QStringLiteral(": ") + why);
        return;
    }
    listener_ = listener;
    address_ = address;
    problem_.clear();
    connect(listener_, &QTcpServer::pendingConnectionAvailable, this,
            &MetricsServer::acceptWaiting);
    // Beyond loopback that is told once a token guards it.
    if (address->host.isLoopback()) {
        log_(QStringLiteral("The metrics are served at http://%1/metrics.").arg(address->text()));
    }
    reloadToken();
}

std::optional<MetricsServer::Address> MetricsServer::serving() const {
    return listener_ ? address_ : std::nullopt;
}

void MetricsServer::reloadToken() {
    const quint64 lookup = ++tokenLookups_;
    if (!listener_) {
        return; // the next apply looks it up
    }
    // Until the first answer nothing is served: a token may be stored. A
    // known answer stands until the next one, so that each read of the
    // settings does not turn scrapes away.
    if (token_ == Token::Unreadable) {
        token_ = Token::Pending;
    }
    tokenStamp_ = core::fileStamp(tokenPath());
    settingsStamp_ = core::fileStamp(core::settingsPath());
    lookUpToken(mailsecret::metricsToken(), this,
                [this, lookup](const std::optional<QString> &token, const QString &problem) {
                    if (lookup != tokenLookups_) {
                        return; // a later lookup answers for now
                    }
                    if (token) {
                        token_ = Token::Present;
                        tokenHash_ = sha256(token->trimmed().toUtf8());
                        tokenProblem_.clear();
                    } else if (problem.isEmpty()) {
                        token_ = Token::None;
                        tokenProblem_.clear();
                    } else {
                        // Fail closed: a token is there, only it cannot be read.
                        token_ = Token::Unreadable;
                        if (problem != std::exchange(tokenProblem_, problem)) {
                            log_(QStringLiteral("The metrics are not served: the token cannot "
                                                "be read: ") +
                                 problem + QLatin1Char('.'));
                        }
                    }
                    tellGuard();
                });
}

void MetricsServer::noticeChanges() {
    if (listener_ && (changedSince(tokenStamp_, tokenPath()) ||
                      changedSince(settingsStamp_, core::settingsPath()))) {
        reloadToken();
    }
}

void MetricsServer::tellGuard() {
    if (!address_ || address_->host.isLoopback()) {
        return;
    }
    if (token_ == Token::None) {
        servedTold_ = false;
        note(address_->text() +
             QStringLiteral(" is not a loopback address and no token is stored"));
    } else if (token_ == Token::Present && !std::exchange(servedTold_, true)) {
        problem_.clear();
        log_(QStringLiteral("The metrics are served at http://%1/metrics.").arg(address_->text()));
    }
}

void MetricsServer::note(const QString &problem) {
    if (problem != std::exchange(problem_, problem)) {
        log_(QStringLiteral("The metrics are not served: ") + problem + QLatin1Char('.'));
    }
}

void MetricsServer::stop() {
    ++tokenLookups_;
    while (!connections_.empty()) {
        drop(connections_.back().get());
    }
    delete listener_;
    listener_ = nullptr;
    address_.reset();
    token_ = Token::Pending;
    tokenHash_.clear();
    servedTold_ = false;
}

qsizetype MetricsServer::openFrom(bool local) const {
    return std::count_if(connections_.begin(), connections_.end(),
                         [local](const auto &c) { return c->local == local; });
}

void MetricsServer::acceptWaiting() {
    while (listener_ && listener_->hasPendingConnections()) {
        QTcpSocket *socket = listener_->nextPendingConnection();
        socket->setParent(this);
        const bool local = socket->peerAddress().isLoopback();
        const auto waiting =
            std::find_if(connections_.begin(), connections_.end(),
                         [local](const auto &c) { return c->local == local && !c->answered; });
        if (openFrom(local) >= MaxOpen && waiting != connections_.end()) {
            // A flood: the oldest without its head gives way at once, grace or not.
            drop(waiting->get());
        } else if (openFrom(local) >= MaxOpen) {
            // Every one is being answered: the newest is turned away.
            socket->write(serialize(Reply{503,
                                          "text/plain; charset=utf-8",
                                          "Too many connections\n",
                                          {{"Retry-After", "1"}}},
                                    false));
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            QTimer::singleShot(ReplyMs, socket, [socket] { socket->abort(); });
            socket->disconnectFromHost();
            continue;
        }
        auto connection = std::make_unique<Connection>();
        Connection *c = connection.get();
        c->socket = socket;
        c->local = local;
        c->deadline = new QTimer(socket);
        c->deadline->setSingleShot(true);
        connect(socket, &QTcpSocket::readyRead, this, [this, c] { readFrom(c); });
        connect(socket, &QTcpSocket::disconnected, this, [this, c] { drop(c); });
        // A client that sends nothing (or will not take its answer) loses its place.
        connect(c->deadline, &QTimer::timeout, this, [this, c] { drop(c); });
        c->deadline->start(RequestMs);
        connections_.push_back(std::move(connection));
        if (openFrom(local) > MaxConnections && !trimTimer_->isActive()) {
            trimTimer_->start();
        }
        if (socket->bytesAvailable() > 0) {
            readFrom(c);
        }
    }
}

void MetricsServer::trim() {
    std::vector<Connection *> closing;
    bool again = false;
    for (const bool local : {true, false}) {
        qsizetype over = openFrom(local) - MaxConnections;
        // Oldest first: a client that has not sent its head by now gives way
        // to one that came later, rather than the newest being turned away.
        for (const auto &c : connections_) {
            if (c->local != local || c->answered) {
                continue;
            }
            if (over > 0 && !c->fresh) {
                closing.push_back(c.get());
                --over;
            } else if (over > 0) {
                again = true; // its grace runs until the next trim
            }
            c->fresh = false;
        }
    }
    for (Connection *c : closing) {
        drop(c);
    }
    if (again) {
        trimTimer_->start();
    }
}

void MetricsServer::readFrom(Connection *connection) {
    // Everything that came is taken, so the close after the answer finds nothing unread.
    const QByteArray data = connection->socket->readAll();
    if (connection->answered) {
        return;
    }
    const qsizetype room = MaxHeadBytes - connection->head.size();
    connection->head += data.left(room);
    connection->overflowed = connection->overflowed || data.size() > room;
    qsizetype end = connection->head.indexOf("\r\n\r\n");
    if (end >= 0) {
        end += 4;
    } else if (end = connection->head.indexOf("\n\n"); end >= 0) {
        end += 2;
    }
    if (end >= 0) {
        answer(connection, answerTo(connection->head.left(end)));
    } else if (connection->overflowed) {
        answer(connection, serialize(plain(431, "Request header fields too large"), false));
    }
}

QByteArray MetricsServer::answerTo(const QByteArray &head) const {
    const std::optional<Request> request = parseHead(head);
    if (!request) {
        return serialize(plain(400, "Bad request"), false);
    }
    const bool headOnly = request->method == "HEAD";
    const auto send = [headOnly](const Reply &reply) { return serialize(reply, headOnly); };
    switch (token_) {
    case Token::Pending: {
        Reply reply = plain(503, "The metrics token is being read");
        reply.headers.emplaceBack("Retry-After", "1");
        return send(reply);
    }
    case Token::Unreadable:
        return send(plain(503, "The metrics token cannot be read"));
    case Token::Present: {
        const std::optional<QByteArray> presented = bearerToken(request->header("Authorization"));
        if (!presented || !sameDigest(sha256(*presented), tokenHash_)) {
            Reply reply = plain(401, "A bearer token is needed");
            reply.headers.emplaceBack("WWW-Authenticate", "Bearer realm=\"perstando\"");
            return send(reply);
        }
        break;
    }
    case Token::None:
        if (!address_->host.isLoopback()) {
            return send(plain(503, "The metrics need a token beyond loopback"));
        }
        break;
    }
    if (request->method != "GET" && !headOnly) {
        Reply reply = plain(405, "Only GET and HEAD");
        reply.headers.emplaceBack("Allow", "GET, HEAD");
        return send(reply);
    }
    if (request->path == "/metrics") {
        const Body body = renderer_(request->header("Accept").value_or(QByteArray()));
        return send(Reply{200, body.contentType, body.body});
    }
    if (request->path == "/") {
        return send(plain(200, "Perstando: the metrics are at /metrics"));
    }
    return send(plain(404, "Not found; the metrics are at /metrics"));
}

void MetricsServer::answer(Connection *connection, const QByteArray &reply) {
    connection->answered = true;
    connection->head.clear();
    connection->deadline->start(ReplyMs);
    connection->socket->write(reply);
    // May close at once and drop the connection: nothing touches it after this.
    connection->socket->disconnectFromHost();
}

void MetricsServer::drop(Connection *connection) {
    QTcpSocket *socket = connection->socket;
    socket->disconnect(this);
    connection->deadline->stop();
    // Not from inside its own close, which ends in disconnected().
    if (socket->state() != QAbstractSocket::UnconnectedState) {
        socket->abort();
    }
    socket->deleteLater();
    std::erase_if(connections_, [connection](const auto &c) { return c.get() == connection; });
}

} // namespace engine
