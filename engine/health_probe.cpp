#include "engine/health_probe.h"

#include "core/child_reaper.h"
#include "core/kept_command.h"
#include "core/launcher.h"
#include "core/port_owner.h"
#include "engine/smtp_session.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QFuture>
#include <QHostAddress>
#include <QHostInfo>
#include <QNetworkAccessManager>
#include <QNetworkInterface>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QPromise>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QSslConfiguration>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QThreadPool>
#include <QTimer>

#include <algorithm>
#include <memory>
#include <optional>
#include <utility>

namespace engine {
namespace {

constexpr qsizetype MaxBody = qsizetype{64} * 1024;
// A command's output beyond this is read and dropped, so it never blocks on a full pipe.
constexpr qsizetype MaxOutputKept = qsizetype{4} * 1024;
// A command printing more has run away: reading it all would cost a core.
constexpr qint64 MaxOutputRead = qint64{1024} * 1024;
// What a command left behind is ended by its keeper; one without a keeper is killed after this.
constexpr int KeeperGraceMs = 1000;
constexpr qsizetype MaxLine = 200;

/// "0.4": seconds with one decimal, in the C locale.
QString tenths(std::chrono::milliseconds time) {
    return QString::number(static_cast<double>(time.count()) / 1000.0, 'f', 1);
}

/// "5" or "2.5": a configured length of time in seconds.
QString setting(std::chrono::milliseconds time) {
    return time.count() % 1000 == 0 ? QString::number(time.count() / 1000) : tenths(time);
}

QString quoted(const QString &text) {
    return u'"' + text + u'"';
}

QString hostAndPort(const QString &host, quint16 port) {
    const QString shown = host.contains(u':') ? u'[' + host + u']' : host;
    return shown + u':' + QString::number(port);
}

/// Stat calls may hang on a dead network file system, so they get threads of
/// their own rather than the global pool's few. Never destroyed: its destructor
/// would wait for a hung thread at exit.
QThreadPool *probePool() {
    static QThreadPool *const pool = [] {
        auto *made = new QThreadPool; // NOLINT(cppcoreguidelines-owning-memory)
        made->setMaxThreadCount(16);
        return made;
    }();
    return pool;
}

struct Authority {
    QString host;
    bool hasPort = false;
    QString port;
};

/// The host and port text of `rest` (what follows "://"), read loosely so that
/// a bad URL can be named precisely; QUrl judges the rest.
Authority splitAuthority(const QString &rest) {
    static const QRegularExpression end(QStringLiteral("[/?#]"));
    QString hostPort = rest.left(rest.indexOf(end) < 0 ? rest.size() : rest.indexOf(end));
    hostPort = hostPort.mid(hostPort.lastIndexOf(u'@') + 1);
    Authority found;
    qsizetype colon = -1;
    if (hostPort.startsWith(u'[')) {
        const qsizetype close = hostPort.indexOf(u']');
        found.host = hostPort.mid(1, close < 0 ? -1 : close - 1);
        colon = close < 0 ? -1 : hostPort.indexOf(u':', close);
    } else {
        colon = hostPort.lastIndexOf(u':');
        found.host = hostPort.left(colon < 0 ? hostPort.size() : colon);
    }
    if (colon >= 0) {
        found.hasPort = true;
        found.port = hostPort.mid(colon + 1);
    }
    return found;
}

/// Why the host and port of `text` are unusable, or "".
QString authorityProblem(const QString &text, const Authority &authority, bool portRequired) {
    if (authority.host.isEmpty()) {
        return quoted(text) + QStringLiteral(" has no host");
    }
    if (!authority.hasPort || authority.port.isEmpty()) {
        return portRequired || authority.hasPort ? quoted(text) + QStringLiteral(" has no port")
                                                 : QString();
    }
    bool number = false;
    const int port = authority.port.toInt(&number);
    static const QRegularExpression digits(QStringLiteral("^[0-9]+$"));
    if (!number || !digits.match(authority.port).hasMatch() || port < 1 || port > 65535) {
        return quoted(text) + QStringLiteral(" has port %1, not a number from 1 to 65535")
                                  .arg(quoted(authority.port));
    }
    return {};
}

ParsedProbe refused(ParsedProbe::Kind kind, const QString &problem) {
    ParsedProbe parsed;
    parsed.kind = kind;
    parsed.error = problem;
    return parsed;
}

ParsedProbe parseUrl(const QString &text, ParsedProbe::Kind kind, qsizetype schemeLength) {
    const bool http = kind == ParsedProbe::Kind::Http;
    const QString problem = authorityProblem(text, splitAuthority(text.mid(schemeLength)), !http);
    if (!problem.isEmpty()) {
        return refused(kind, problem);
    }
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty()) {
        return refused(kind, quoted(text) + QStringLiteral(" is not a valid address"));
    }
    ParsedProbe parsed;
    parsed.kind = kind;
    parsed.host = url.host();
    if (http) {
        parsed.url = url;
        parsed.port = static_cast<quint16>(url.port(url.scheme() == u"https" ? 443 : 80));
        parsed.path = url.path().isEmpty() ? QStringLiteral("/") : url.path();
        return parsed;
    }
    if (!url.userInfo().isEmpty() || (!url.path().isEmpty() && url.path() != u"/") ||
        url.hasQuery() || url.hasFragment()) {
        return refused(kind, quoted(text) + QStringLiteral(" has more than a host and a port"));
    }
    parsed.port = static_cast<quint16>(url.port());
    return parsed;
}

ParsedProbe parseFile(const QString &text) {
    const QString rest = text.mid(5);
    QString path = rest;
    if (rest.startsWith(u"//")) {
        const QUrl url(text, QUrl::StrictMode);
        const bool local = url.isValid() && (url.host().isEmpty() || url.host() == u"localhost");
        path = local ? url.toLocalFile() : QString();
        if (!local) {
            return refused(ParsedProbe::Kind::File,
                           quoted(text) + QStringLiteral(" is not a file on this computer"));
        }
    }
    if (path.isEmpty()) {
        return refused(ParsedProbe::Kind::File, quoted(text) + QStringLiteral(" names no file"));
    }
    ParsedProbe parsed;
    parsed.kind = ParsedProbe::Kind::File;
    parsed.path = path;
    return parsed;
}

ParsedProbe parseCommand(const QString &text) {
    if (text.count(u'"') % 2 != 0) {
        return refused(ParsedProbe::Kind::Command,
                       quoted(text) + QStringLiteral(" has a double quote that is not closed"));
    }
    ParsedProbe parsed;
    parsed.kind = ParsedProbe::Kind::Command;
    for (const std::string &word : launcher::splitCommandLine(text.toStdString())) {
        parsed.words.append(QString::fromStdString(word));
    }
    if (parsed.words.isEmpty() || parsed.words.first().isEmpty()) {
        return refused(ParsedProbe::Kind::Command,
                       quoted(text) + QStringLiteral(" names no program"));
    }
    return parsed;
}

/// An address the probe reaches on this computer, as the socket tables write it.
std::optional<QHostAddress> localAddress(QHostAddress address) {
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    if (mapped) {
        address = QHostAddress(v4);
    }
    address.setScopeId({});
    if (address == QHostAddress::AnyIPv4) {
        address = QHostAddress(QHostAddress::LocalHost);
    } else if (address == QHostAddress::AnyIPv6) {
        address = QHostAddress(QHostAddress::LocalHostIPv6);
    }
    if (address.isLoopback() || QNetworkInterface::allAddresses().contains(address)) {
        return address;
    }
    return std::nullopt;
}

using Owners = std::vector<sockets::PortOwner>;

/// The listeners of `port` at each of `addresses`, in their order.
Owners ownersOf(const QStringList &addresses, quint16 port, int ownerPid) {
    Owners owners;
    for (const QString &address : addresses) {
        owners.push_back(sockets::portOwner(address.toStdString(), port, ownerPid));
    }
    return owners;
}

/// The first listener outside the slot's tree; null when there is none.
const sockets::PortOwner *foreignOwner(const Owners &owners) {
    for (const sockets::PortOwner &owner : owners) {
        if (owner.verdict == sockets::PortOwner::Verdict::Other) {
            return &owner;
        }
    }
    return nullptr;
}

QString foreignReason(quint16 port, const sockets::PortOwner &owner) {
    const QString start = QStringLiteral("port %1 is answered by another program").arg(port);
    if (owner.pid == 0) {
        return start + QStringLiteral(", of user ID %1").arg(owner.uid);
    }
    const QString program = QString::fromStdString(owner.program);
    return start + QStringLiteral(": ") +
           (program.isEmpty() ? QString() : program + QStringLiteral(", ")) +
           QStringLiteral("PID %1").arg(owner.pid);
}

/// The first line of a command's output with text, made safe for the log.
QString firstLine(const QByteArray &output) {
    for (const QByteArray &raw : output.split('\n')) {
        QString line = QString::fromUtf8(raw).trimmed();
        if (line.isEmpty()) {
            continue;
        }
        for (QChar &c : line) {
            if (!c.isPrint()) {
                c = u' ';
            }
        }
        return line.size() > MaxLine ? line.left(MaxLine - 3) + QStringLiteral("...") : line;
    }
    return {};
}

struct FileSeen {
    bool exists = false;
    bool regular = false;
    qint64 modifiedMs = 0;
};

} // namespace

ParsedProbe parseProbe(const QString &storedText) {
    const QString text = storedText.trimmed();
    if (text.isEmpty()) {
        return {};
    }
    static const QRegularExpression urlLike(QStringLiteral("^([A-Za-z][A-Za-z0-9+.-]*):(//)?"));
    const QRegularExpressionMatch match = urlLike.match(text);
    const QString scheme = match.captured(1).toLower();
    const bool slashes = match.hasCaptured(2);
    if (scheme == u"http" || scheme == u"https" || scheme == u"tcp") {
        const auto kind = scheme == u"tcp" ? ParsedProbe::Kind::Tcp : ParsedProbe::Kind::Http;
        if (!slashes) {
            return refused(kind, quoted(text) + QStringLiteral(" is not a valid address: write ") +
                                     scheme + QStringLiteral("://HOST:PORT"));
        }
        return parseUrl(text, kind, match.capturedLength(0));
    }
    if (scheme == u"file") {
        return parseFile(text);
    }
    if (slashes) {
        return refused(ParsedProbe::Kind::None,
                       quoted(text) + QStringLiteral(" is no probe Perstando knows: use http://, "
                                                     "https://, tcp://, file: or a command"));
    }
    return parseCommand(text);
}

struct HealthProbe::Running {
    /// What a timeout means at each step.
    enum class Step { Answer, Failing, Body, Resolve, Owner };

    explicit Running(HealthProbe *probe) : owner(probe) {
        deadline.setSingleShot(true);
        QObject::connect(&deadline, &QTimer::timeout, owner, [this] { timedOut(); });
    }

    HealthProbe *const owner;
    QTimer deadline;
    QElapsedTimer clock;
    /// Changes with every run and cancel: late answers of an earlier run are dropped.
    quint64 generation = 0;
    bool active = false;
    bool decided = false;
    Step step = Step::Answer;
    ParsedProbe parsed;
    ProbeOptions options;
    QString target; ///< "127.0.0.1:8080/health", as the reasons name it
    QString passReason;
    QString failReason;

    QNetworkAccessManager *manager = nullptr; ///< made on the first HTTP probe; a child of owner
    QPointer<QNetworkReply> reply;
    QByteArray expect;
    QByteArray body;
    QStringList tlsErrors;
    QPointer<QTcpSocket> socket;
    int lookup = -1;
    /// Command: its keeper while it runs (pid 0 once reaped), and what tells of it.
    launcher::KeptCommand command;
    QPointer<QSocketNotifier> outputReady;
    QPointer<QSocketNotifier> commandEnded;
    QByteArray output;
    /// Bytes read of a failing HTTP answer's body, or of a command's output.
    qint64 drained = 0;
    /// Tcp and Http with an owner to check: the target's addresses on this
    /// computer, and who listened there before the connection.
    QStringList localAddresses;
    Owners ownersBefore;

    std::chrono::milliseconds took() const { return std::chrono::milliseconds(clock.elapsed()); }

    void start() {
        switch (parsed.kind) {
        case ParsedProbe::Kind::Http:
        case ParsedProbe::Kind::Tcp:
            if (options.ownerPid != 0) {
                lookBeforeConnecting();
            } else {
                connectToTarget();
            }
            break;
        case ParsedProbe::Kind::File:
            startFile();
            break;
        case ParsedProbe::Kind::Command:
            startCommand();
            break;
        case ParsedProbe::Kind::None:
            break;
        }
    }

    /// The verdict, told once and never from within run(); everything the
    /// probe still holds is let go at once.
    void finish(bool healthy, const QString &reason) {
        if (!active || decided) {
            return;
        }
        decided = true;
        release();
        ProbeResult result{healthy, reason, took(), QDateTime::currentDateTime()};
        const quint64 told = generation;
        QMetaObject::invokeMethod(
            owner,
            [this, told, result] {
                if (told == generation && active) {
                    active = false;
                    Q_EMIT owner->finished(result);
                }
            },
            Qt::QueuedConnection);
    }

    void release() {
        deadline.stop();
        if (lookup >= 0) {
            QHostInfo::abortHostLookup(lookup);
            lookup = -1;
        }
        dropConnection();
        for (QSocketNotifier *notifier : {outputReady.get(), commandEnded.get()}) {
            if (notifier != nullptr) {
                // Perhaps in its own signal: let go later, told nothing more.
                QObject::disconnect(notifier, nullptr, owner, nullptr);
                notifier->setEnabled(false);
                notifier->deleteLater();
            }
        }
        if (command.pid != 0) {
            endCommand(std::move(command));
        }
        command = {};
    }

    void dropConnection() {
        if (reply) {
            QObject::disconnect(reply, nullptr, owner, nullptr);
            if (reply->isRunning() && reply->error() == QNetworkReply::NoError) {
                reply->abort();
            }
            reply->deleteLater();
            reply = nullptr;
        }
        if (socket) {
            QObject::disconnect(socket, nullptr, owner, nullptr);
            socket->abort();
            socket->deleteLater();
            socket = nullptr;
        }
    }

    /// Runs `work` on the probe pool and `done` with its result on the owner's
    /// thread, unless the run has ended or the owner is gone by then.
    template <typename T, typename Work, typename Done> void offLoop(Work work, Done done) {
        auto promise = std::make_shared<QPromise<T>>();
        const quint64 asked = generation;
        promise->future().then(owner, [this, asked, done](const T &value) {
            if (asked == generation && active && !decided) {
                done(value);
            }
        });
        probePool()->start([promise, work] {
            promise->start();
            promise->addResult(work());
            promise->finish();
        });
    }

    void timedOut() {
        if (parsed.kind == ParsedProbe::Kind::Command) {
            finish(false,
                   QStringLiteral("did not finish within %1 s").arg(setting(options.timeout)));
            return;
        }
        if (parsed.kind == ParsedProbe::Kind::File) {
            finish(false, QStringLiteral("heartbeat file %1 could not be examined within %2 s")
                              .arg(target, setting(options.timeout)));
            return;
        }
        if (step == Step::Failing) {
            finish(false, failReason);
            return;
        }
        QString what;
        switch (step) {
        case Step::Failing:
        case Step::Answer:
            what = QStringLiteral("no answer from %1").arg(target);
            break;
        case Step::Body:
            what = QStringLiteral("the answer from %1 did not contain %2")
                       .arg(target, quoted(options.expectText));
            break;
        case Step::Resolve:
            what = QStringLiteral("the name %1 was not resolved").arg(quoted(parsed.host));
            break;
        case Step::Owner:
            what = QStringLiteral("the owner of port %1 was not found").arg(parsed.port);
            break;
        }
        finish(false, what + QStringLiteral(" within %1 s").arg(setting(options.timeout)));
    }

    void connectToTarget() {
        step = Step::Answer;
        if (parsed.kind == ParsedProbe::Kind::Http) {
            startHttp();
        } else {
            startTcp();
        }
    }

    // HTTP -----------------------------------------------------------------

    void startHttp() {
        QNetworkRequest request(parsed.url);
        // A redirect is an answer: 3xx counts as healthy, and nothing else is followed.
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                             QNetworkRequest::ManualRedirectPolicy);
        request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
        request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
        request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
        // Each probe its own connection: a kept one could outlive a restarted server.
        request.setRawHeader("Connection", "close");
        request.setHeader(QNetworkRequest::UserAgentHeader, QStringLiteral("Perstando"));
        if (parsed.url.scheme() == u"https") {
            QList<QSslCertificate> authorities;
            if (!options.caFile.isEmpty()) {
                const QString problem = smtp::readAuthorities(options.caFile, authorities);
                if (!problem.isEmpty()) {
                    finish(false, problem);
                    return;
                }
            }
            QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
            if (!authorities.isEmpty()) {
                // Adding any authority ends Qt's loading of the system's on demand.
                tls.setCaCertificates(QSslConfiguration::systemCaCertificates() + authorities);
            }
            request.setSslConfiguration(tls);
        }
        if (manager == nullptr) {
            manager = new QNetworkAccessManager(owner);
            // The program itself is asked, never a proxy that would answer for it.
            manager->setProxy(QNetworkProxy::NoProxy);
        }
        expect = options.expectText.toUtf8();
        reply = manager->get(request);
        reply->setReadBufferSize(MaxBody);
        QObject::connect(reply, &QNetworkReply::metaDataChanged, owner, [this] { httpStatus(); });
        QObject::connect(reply, &QNetworkReply::readyRead, owner, [this] { httpBody(); });
        QObject::connect(reply, &QNetworkReply::finished, owner, [this] { httpEnded(); });
        QObject::connect(reply, &QNetworkReply::sslErrors, owner,
                         [this](const QList<QSslError> &errors) {
                             for (const QSslError &error : errors) {
                                 tlsErrors.append(error.errorString());
                             }
                         });
    }

    /// The status once it is there: a failure ends the probe, a pass without
    /// text to find too; with text the body is read next.
    void httpStatus() {
        if (decided || step != Step::Answer) {
            return;
        }
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (status == 0) {
            return;
        }
        const QString seen =
            QStringLiteral("HTTP %1 from %2 after %3 s").arg(status).arg(target, tenths(took()));
        if (status < 200 || status > 399) {
            // Told when the reply ends: aborted now, Qt would still report its
            // queued error and warn of it.
            failReason = seen;
            step = Step::Failing;
        } else if (expect.isEmpty()) {
            answered(seen);
        } else {
            passReason = seen;
            step = Step::Body;
        }
    }

    void httpBody() {
        httpStatus();
        if (decided || step != Step::Body) {
            drained += reply->skip(reply->bytesAvailable());
            if (!decided && step == Step::Failing && drained > MaxBody) {
                finish(false, failReason); // a failure's body need not be read to its end
            }
            return;
        }
        const qsizetype searched = std::max<qsizetype>(0, body.size() - expect.size() + 1);
        body += reply->read(MaxBody - body.size());
        if (body.indexOf(expect, searched) >= 0) {
            answered(passReason);
        } else if (body.size() >= MaxBody) {
            finish(false,
                   QStringLiteral("the answer from %1 does not contain %2 in its first 64 KiB")
                       .arg(target, quoted(options.expectText)));
        }
    }

    void httpEnded() {
        if (decided) {
            return;
        }
        httpBody();
        if (decided) {
            return;
        }
        if (step == Step::Failing) {
            finish(false, failReason);
            return;
        }
        if (step == Step::Body) {
            finish(false, QStringLiteral("the answer from %1 does not contain %2")
                              .arg(target, quoted(options.expectText)));
            return;
        }
        switch (reply->error()) {
        case QNetworkReply::ConnectionRefusedError:
            finish(false, QStringLiteral("%1 refused the connection")
                              .arg(hostAndPort(parsed.host, parsed.port)));
            break;
        case QNetworkReply::HostNotFoundError:
            finish(false, QStringLiteral("the name %1 was not found").arg(quoted(parsed.host)));
            break;
        case QNetworkReply::RemoteHostClosedError:
            finish(false, QStringLiteral("%1 closed the connection without an answer").arg(target));
            break;
        case QNetworkReply::SslHandshakeFailedError:
            finish(false, QStringLiteral("no secure connection with %1: %2")
                              .arg(hostAndPort(parsed.host, parsed.port),
                                   tlsErrors.isEmpty() ? reply->errorString()
                                                       : tlsErrors.join(QStringLiteral("; "))));
            break;
        default:
            finish(false,
                   QStringLiteral("no answer from %1: %2").arg(target, reply->errorString()));
            break;
        }
    }

    // TCP ------------------------------------------------------------------

    void startTcp() {
        socket = new QTcpSocket(owner);
        socket->setProxy(QNetworkProxy::NoProxy);
        QObject::connect(socket, &QTcpSocket::connected, owner, [this] {
            answered(QStringLiteral("%1 accepted the connection after %2 s")
                         .arg(target, tenths(took())));
        });
        QObject::connect(
            socket, &QTcpSocket::errorOccurred, owner, [this](QAbstractSocket::SocketError error) {
                if (error == QAbstractSocket::ConnectionRefusedError) {
                    finish(false, target + QStringLiteral(" refused the connection"));
                } else if (error == QAbstractSocket::HostNotFoundError) {
                    finish(false,
                           QStringLiteral("the name %1 was not found").arg(quoted(parsed.host)));
                } else {
                    finish(false, QStringLiteral("no connection with %1: %2")
                                      .arg(target, socket->errorString()));
                }
            });
        socket->connectToHost(parsed.host, parsed.port);
    }

    // Port ownership ----------------------------------------------------------

    /// The listener of a local target is looked at before the connection and
    /// again after the answer: only the same sockets, the slot's, pass. One
    /// that went or came in between may have answered for it and left.
    void lookBeforeConnecting() {
        if (const QHostAddress literal(parsed.host); !literal.isNull()) {
            lookFirst({literal});
            return;
        }
        step = Step::Resolve;
        const quint64 asked = generation;
        lookup = QHostInfo::lookupHost(parsed.host, owner, [this, asked](const QHostInfo &info) {
            if (asked != generation || decided) {
                return;
            }
            lookup = -1;
            lookFirst(info.addresses()); // none: the connection says why
        });
    }

    void lookFirst(const QList<QHostAddress> &addresses) {
        for (const QHostAddress &address : addresses) {
            if (const std::optional<QHostAddress> found = localAddress(address)) {
                localAddresses.append(found->toString());
            }
        }
        if (localAddresses.isEmpty()) {
            connectToTarget(); // not on this computer: nobody here to ask
            return;
        }
        lookAtOwners([this](const Owners &seen) {
            if (const sockets::PortOwner *foreign = foreignOwner(seen)) {
                finish(false, foreignReason(parsed.port, *foreign));
                return;
            }
            ownersBefore = seen;
            connectToTarget();
        });
    }

    /// A pass on the network, still to be checked against the port's owner
    /// when the target is on this computer and the slot's process is known.
    void answered(const QString &pass) {
        if (localAddresses.isEmpty()) {
            finish(true, pass);
            return;
        }
        // The answer is in: the connection is not needed for what follows.
        dropConnection();
        passReason = pass;
        lookAtOwners([this](const Owners &seen) {
            if (const sockets::PortOwner *foreign = foreignOwner(seen)) {
                finish(false, foreignReason(parsed.port, *foreign));
                return;
            }
            // Without a foreign one, any listener seen is the slot's.
            bool held = false;
            bool changed = false;
            for (std::size_t i = 0; i < seen.size(); ++i) {
                held = held || seen[i].verdict == sockets::PortOwner::Verdict::Tree;
                changed = changed || seen[i].sockets != ownersBefore[i].sockets;
            }
            const QString unknown =
                QStringLiteral("the owner of port %1 could not be established: ").arg(parsed.port);
            if (!held) {
                finish(false, unknown + QStringLiteral("no listening socket is visible"));
            } else if (changed) {
                finish(false,
                       unknown + QStringLiteral("its listening socket changed during the probe"));
            } else {
                finish(true, passReason);
            }
        });
    }

    template <typename Done> void lookAtOwners(Done done) {
        step = Step::Owner;
        const QStringList addresses = localAddresses;
        const quint16 port = parsed.port;
        const int pid = options.ownerPid;
        offLoop<Owners>([addresses, port, pid] { return ownersOf(addresses, port, pid); },
                        std::move(done));
    }

    // Heartbeat file -------------------------------------------------------------

    void startFile() {
        const QString path = target;
        offLoop<FileSeen>(
            [path] {
                const QFileInfo info(path);
                return FileSeen{info.exists(), info.isFile(),
                                info.exists() ? info.lastModified().toMSecsSinceEpoch() : 0};
            },
            [this](const FileSeen &seen) {
                const QString name = QStringLiteral("heartbeat file ") + target;
                if (!seen.exists) {
                    finish(false, name + QStringLiteral(" does not exist or cannot be reached"));
                    return;
                }
                if (!seen.regular) {
                    finish(false, name + QStringLiteral(" is not a regular file"));
                    return;
                }
                const qint64 age =
                    std::max<qint64>(0, QDateTime::currentMSecsSinceEpoch() - seen.modifiedMs);
                const QString when =
                    QStringLiteral(" changed %1 s ago").arg(QString::number(age / 1000));
                if (age > options.heartbeatAge.count()) {
                    finish(false, name + QStringLiteral(" last") + when);
                } else {
                    finish(true, name + when);
                }
            });
    }

    // Command --------------------------------------------------------------------

    void startCommand() {
        // As exec takes it: a bare name from the PATH, anything else as written.
        const QString name = parsed.words.first();
        const QString path = name.contains(u'/') ? name : QStandardPaths::findExecutable(name);
        if (path.isEmpty()) {
            finish(false,
                   QStringLiteral("cannot start %1: not found on the PATH").arg(quoted(name)));
            return;
        }
        std::vector<std::string> arguments;
        for (const QString &word : parsed.words) {
            arguments.push_back(word.toStdString());
        }
        command = launcher::startKept(path.toStdString(), arguments,
                                      options.workingDirectory.toStdString());
        if (!command.error.empty()) {
            finish(false, QStringLiteral("cannot start %1: %2")
                              .arg(quoted(name), QString::fromStdString(command.error)));
            return;
        }
        outputReady = new QSocketNotifier(command.output.get(), QSocketNotifier::Read, owner);
        QObject::connect(outputReady, &QSocketNotifier::activated, owner, [this] { readOutput(); });
        commandEnded = new QSocketNotifier(command.ended.get(), QSocketNotifier::Read, owner);
        QObject::connect(commandEnded, &QSocketNotifier::activated, owner, [this] { ended(); });
    }

    /// The keeper has ended, and with it the command and all it started.
    void ended() {
        const std::optional<reaper::ExitCause> cause = reaper::reap(command.ended.get());
        command.pid = 0;
        readOutput(); // what the command wrote last
        if (decided) {
            return;
        }
        QString reason = !cause ? QStringLiteral("ended, but how is not known")
                         : cause->signalled
                             ? QStringLiteral("ended by signal %1").arg(cause->number)
                             : QStringLiteral("exit status %1").arg(cause->number);
        if (const QString line = firstLine(output); !line.isEmpty()) {
            reason += QStringLiteral(": ") + line;
        }
        finish(cause && !cause->signalled && cause->number == 0, reason);
    }

    void readOutput() {
        char buf[16384];
        while (!decided && command.output) {
            const long n = launcher::readOutput(command, buf, sizeof buf);
            if (n <= 0) {
                if (n == 0 && outputReady) {
                    outputReady->setEnabled(false); // its end: nothing more will come
                }
                return;
            }
            output.append(
                buf, std::min<qsizetype>(n, std::max<qsizetype>(0, MaxOutputKept - output.size())));
            drained += n;
            if (drained > MaxOutputRead) {
                const QString line = firstLine(output);
                finish(false, QStringLiteral("printed more than 1 MiB of output") +
                                  (line.isEmpty() ? QString() : QStringLiteral(": ") + line));
            }
        }
    }

    /// The keeper of a command that still runs ends it and all it started,
    /// then itself; the verdict does not wait for that. One that does not
    /// end is killed with its group.
    void endCommand(launcher::KeptCommand running) {
        // Not the probe's, which may go first.
        auto *ending = new QObject(QCoreApplication::instance());
        auto kept = std::make_shared<launcher::KeptCommand>(std::move(running));
        kept->output.reset(); // the command's writes fail from now on
        launcher::endKept(*kept);
        auto *end = new QSocketNotifier(kept->ended.get(), QSocketNotifier::Read, ending);
        QObject::connect(end, &QSocketNotifier::activated, ending, [ending, kept] {
            reaper::reap(kept->ended.get());
            kept->pid = 0;
            ending->deleteLater();
        });
        QTimer::singleShot(KeeperGraceMs, ending, [kept] { launcher::killKept(*kept); });
    }
};

HealthProbe::HealthProbe(QObject *parent)
    : QObject(parent), running_(std::make_unique<Running>(this)) {}

HealthProbe::~HealthProbe() {
    cancel();
}

bool HealthProbe::run(const ParsedProbe &parsed, const ProbeOptions &options) {
    Running &r = *running_;
    if (r.active || !parsed.error.isEmpty() || parsed.kind == ParsedProbe::Kind::None) {
        return false;
    }
    ++r.generation;
    r.active = true;
    r.decided = false;
    r.step = Running::Step::Answer;
    r.parsed = parsed;
    r.options = options;
    r.passReason.clear();
    r.body.clear();
    r.tlsErrors.clear();
    r.output.clear();
    r.drained = 0;
    r.localAddresses.clear();
    r.ownersBefore.clear();
    switch (parsed.kind) {
    case ParsedProbe::Kind::Http:
        r.target = hostAndPort(parsed.host, parsed.port) + parsed.path;
        break;
    case ParsedProbe::Kind::Tcp:
        r.target = hostAndPort(parsed.host, parsed.port);
        break;
    case ParsedProbe::Kind::File:
        // Relative to the slot's folder, like its program.
        r.target = QDir(options.workingDirectory).absoluteFilePath(parsed.path);
        break;
    case ParsedProbe::Kind::Command:
    case ParsedProbe::Kind::None:
        r.target = parsed.words.value(0);
        break;
    }
    r.clock.start();
    r.deadline.start(options.timeout);
    r.start();
    return true;
}

bool HealthProbe::busy() const {
    return running_->active;
}

void HealthProbe::cancel() {
    Running &r = *running_;
    if (!r.active) {
        return;
    }
    ++r.generation;
    r.release();
    r.active = false;
}

} // namespace engine
