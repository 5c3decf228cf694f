#include "engine/desktop_notifier.h"

#include "engine/webhook.h"

#include <QDBusConnection>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <QVariantMap>

#include <utility>

namespace engine {

namespace {

const QString Service = QStringLiteral("org.freedesktop.Notifications");
const QString ObjectPath = QStringLiteral("/org/freedesktop/Notifications");
const QString Interface = Service;
/// A server that keeps notifications without ever closing them must not grow this.
constexpr qsizetype OpenLimit = 256;
/// Desktop entries are a few hundred bytes; anything far larger is not read.
constexpr qint64 EntrySizeLimit = qint64{64} * 1024;

QString errorText(const QDBusError &error) {
    return error.message().isEmpty() ? error.name() : error.message();
}

/// The folders desktop entries live in, the user's first.
QStringList applicationFolders() {
    QStringList bases;
    const QString home = qEnvironmentVariable("XDG_DATA_HOME");
    bases.push_back(home.isEmpty() ? QDir::homePath() + QStringLiteral("/.local/share") : home);
    const QString dirs = qEnvironmentVariable("XDG_DATA_DIRS");
    bases += (dirs.isEmpty() ? QStringLiteral("/usr/local/share:/usr/share") : dirs)
                 .split(QLatin1Char(':'), Qt::SkipEmptyParts);
    QStringList folders;
    for (const QString &base : bases) {
        // Relative entries are invalid there and would depend on our working folder.
        if (QDir::isAbsolutePath(base)) {
            folders.push_back(base + QStringLiteral("/applications"));
        }
    }
    return folders;
}

/// A desktop entry value with its escapes (\s, \n, \t, \r, \\) undone.
QString unescapedValue(const QString &value) {
    QString out;
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value[i] != QLatin1Char('\\') || i + 1 == value.size()) {
            out += value[i];
            continue;
        }
        const QChar next = value[++i];
        if (next == QLatin1Char('s')) {
            out += QLatin1Char(' ');
        } else if (next == QLatin1Char('n')) {
            out += QLatin1Char('\n');
        } else if (next == QLatin1Char('t')) {
            out += QLatin1Char('\t');
        } else if (next == QLatin1Char('r')) {
            out += QLatin1Char('\r');
        } else if (next == QLatin1Char('\\')) {
            out += QLatin1Char('\\');
        } else {
            out += QLatin1Char('\\');
            out += next;
        }
    }
    return out;
}

/// The program of an Exec= line: its first word, unquoted.
QString execProgram(const QString &exec) {
    const QString line = exec.trimmed();
    if (!line.startsWith(QLatin1Char('"'))) {
        return line.section(QLatin1Char(' '), 0, 0);
    }
    QString program;
    for (qsizetype i = 1; i < line.size(); ++i) {
        if (line[i] == QLatin1Char('"')) {
            return program;
        }
        if (line[i] == QLatin1Char('\\') && i + 1 < line.size()) {
            ++i;
        }
        program += line[i];
    }
    return {}; // unterminated: not a valid entry
}

struct DesktopEntry {
    QString program;
    QString icon;
    bool hidden = false;
};

DesktopEntry readEntry(const QString &path) {
    DesktopEntry entry;
    QFile file(path);
    if (file.size() > EntrySizeLimit || !file.open(QIODevice::ReadOnly)) {
        return entry;
    }
    bool main = false;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            // Only the entry itself: its actions have Exec= lines of their own.
            main = line == QLatin1String("[Desktop Entry]");
            continue;
        }
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (!main || equals < 0 || line.startsWith(QLatin1Char('#'))) {
            continue;
        }
        const QString key = line.left(equals).trimmed();
        const QString value = unescapedValue(line.mid(equals + 1).trimmed());
        if (key == QLatin1String("Exec")) {
            entry.program = execProgram(value);
        } else if (key == QLatin1String("Icon")) {
            entry.icon = value;
        } else if (key == QLatin1String("Hidden")) {
            entry.hidden = value == QLatin1String("true");
        }
    }
    return entry;
}

/// Opens a connection of our own to the session bus; done on a worker, since
/// a session bus that takes the connection and never answers holds it for
/// libdbus's 25 seconds.
void connectInBackground(const QString &name, QObject *context, const std::shared_ptr<bool> &alive,
                         std::function<void(bool, const QString &)> done) {
    auto result = std::make_shared<std::pair<bool, QString>>(false, QString());
    const QString address = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");
    QThread *worker = QThread::create([name, address, result] {
        // By its address when set, so that a bus named later in this process is the one used.
        QDBusConnection bus = address.isEmpty()
                                  ? QDBusConnection::connectToBus(QDBusConnection::SessionBus, name)
                                  : QDBusConnection::connectToBus(address, name);
        *result = {bus.isConnected(), errorText(bus.lastError())};
        if (!bus.isConnected()) {
            QDBusConnection::disconnectFromBus(name);
        }
    });
    QObject::connect(worker, &QThread::finished, worker, [worker, name, alive] {
        if (!*alive) {
            QDBusConnection::disconnectFromBus(name);
        }
        worker->deleteLater();
    });
    QObject::connect(worker, &QThread::finished, context,
                     [result, done = std::move(done)] { done(result->first, result->second); });
    worker->start();
}

} // namespace

DesktopNotifier::DesktopNotifier(QObject *parent)
    : QObject(parent), alive_(std::make_shared<bool>(true)) {
    setObjectName(QStringLiteral("DesktopNotifier"));
}

DesktopNotifier::~DesktopNotifier() {
    *alive_ = false;
    if (link_ == Link::Connected) {
        QDBusConnection::disconnectFromBus(connectionName_);
    }
}

void DesktopNotifier::notify(const Alert &alert, const QString &program) {
    Outgoing outgoing;
    outgoing.body = alert.sentence;
    if (!alert.exitCause.isEmpty()) {
        outgoing.body += QStringLiteral("\nLast exit: ") + alert.exitCause;
    }
    outgoing.icon = iconFor(program);
    outgoing.urgent = alert.urgent;
    send(std::move(outgoing));
}

void DesktopNotifier::sendTest(std::function<void(bool, const QString &)> done) {
    Outgoing outgoing;
    outgoing.body = QStringLiteral("This is a test notification from Perstando.");
    outgoing.test = std::move(done);
    send(std::move(outgoing));
}

void DesktopNotifier::send(Outgoing outgoing) {
    if (link_ == Link::Connected && !QDBusConnection(connectionName_).isConnected()) {
        // The bus went away; a new one may be there by now.
        QDBusConnection::disconnectFromBus(connectionName_);
        link_ = Link::None;
        markup_.reset();
        asking_ = false;
        open_.clear();
        openOrder_.clear();
    }
    waiting_.push_back(std::move(outgoing));
    if (waiting_.size() > WaitingLimit) {
        Outgoing dropped = waiting_.takeFirst();
        if (dropped.test) {
            QTimer::singleShot(0, this, [test = std::move(dropped.test)] {
                test(false, QStringLiteral("too many notifications waiting for the bus"));
            });
        } else {
            emit failed();
        }
    }
    if (link_ == Link::None) {
        connectBus();
    } else if (link_ == Link::Connected) {
        if (markup_) {
            flush();
        } else if (!asking_) {
            askCapabilities();
        }
    }
}

void DesktopNotifier::connectBus() {
    static int connections = 0;
    connectionName_ = QStringLiteral("perstando-notify-%1").arg(++connections);
    link_ = Link::Connecting;
    connectInBackground(connectionName_, this, alive_,
                        [this](bool connected, const QString &why) { busReached(connected, why); });
}

void DesktopNotifier::busReached(bool connected, const QString &why) {
    if (!connected) {
        link_ = Link::None;
        failWaiting(QStringLiteral("no session bus (") + why + QLatin1Char(')'));
        return;
    }
    link_ = Link::Connected;
    QDBusConnection bus(connectionName_);
    // Any sender: the ids and the server's bus name are checked on arrival,
    // which needs no blocking look-up of the name's owner here.
    bus.connect(QString(), ObjectPath, Interface, QStringLiteral("ActionInvoked"), this,
                SLOT(onActionInvoked(uint, QString, QDBusMessage)));
    bus.connect(QString(), ObjectPath, Interface, QStringLiteral("NotificationClosed"), this,
                SLOT(onNotificationClosed(uint, uint, QDBusMessage)));
    if (!waiting_.isEmpty()) {
        askCapabilities();
    }
}

void DesktopNotifier::askCapabilities() {
    asking_ = true;
    const QDBusMessage message = QDBusMessage::createMethodCall(Service, ObjectPath, Interface,
                                                                QStringLiteral("GetCapabilities"));
    auto *watcher = new QDBusPendingCallWatcher(
        QDBusConnection(connectionName_).asyncCall(message, CallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this](QDBusPendingCallWatcher *finished) {
                finished->deleteLater();
                asking_ = false;
                const QDBusPendingReply<QStringList> reply = *finished;
                if (reply.isError()) {
                    failWaiting(errorText(reply.error()));
                    return;
                }
                markup_ = reply.value().contains(QStringLiteral("body-markup"));
                flush();
            });
}

void DesktopNotifier::flush() {
    while (!waiting_.isEmpty()) {
        call(waiting_.takeFirst());
    }
}

void DesktopNotifier::call(const Outgoing &outgoing) {
    QDBusMessage message =
        QDBusMessage::createMethodCall(Service, ObjectPath, Interface, QStringLiteral("Notify"));
    // A server that reads markup would take a name's "<" or "&" as markup.
    const QString body = markup_.value_or(false) ? outgoing.body.toHtmlEscaped() : outgoing.body;
    QVariantMap hints;
    hints.insert(QStringLiteral("urgency"), QVariant::fromValue(uchar(outgoing.urgent ? 2 : 1)));
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("perstando"));
    message << QStringLiteral("Perstando") << uint(0) << outgoing.icon
            << QStringLiteral("Perstando") << body
            << QStringList{QStringLiteral("acknowledge"), QStringLiteral("Acknowledge"),
                           QStringLiteral("open-log"), QStringLiteral("Open Log")}
            << hints << int(-1);
    auto *watcher = new QDBusPendingCallWatcher(
        QDBusConnection(connectionName_).asyncCall(message, CallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, test = outgoing.test](QDBusPendingCallWatcher *finished) {
                finished->deleteLater();
                const QDBusPendingReply<uint> reply = *finished;
                if (reply.isError()) {
                    // The next one asks again: another server may have taken the name.
                    markup_.reset();
                    if (test) {
                        test(false, errorText(reply.error()));
                    } else {
                        emit failed();
                        emit unavailable(errorText(reply.error()));
                    }
                    return;
                }
                remember(reply.value(), reply.reply().service());
                emit shown();
                if (test) {
                    askServerName(test);
                }
            });
}

void DesktopNotifier::askServerName(std::function<void(bool, const QString &)> done) {
    const QDBusMessage message = QDBusMessage::createMethodCall(
        Service, ObjectPath, Interface, QStringLiteral("GetServerInformation"));
    auto *watcher = new QDBusPendingCallWatcher(
        QDBusConnection(connectionName_).asyncCall(message, CallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [done = std::move(done)](QDBusPendingCallWatcher *finished) {
                finished->deleteLater();
                const QDBusPendingReply<QString, QString, QString, QString> reply = *finished;
                if (reply.isError()) {
                    done(true, QStringLiteral("Shown; the server did not say its name (") +
                                   errorText(reply.error()) + QLatin1Char(')'));
                    return;
                }
                done(true, QStringLiteral("Shown by ") + reply.argumentAt<0>() + QLatin1Char(' ') +
                               reply.argumentAt<2>());
            });
}

void DesktopNotifier::failWaiting(const QString &reason) {
    bool alerts = false;
    for (const Outgoing &outgoing : std::exchange(waiting_, {})) {
        if (outgoing.test) {
            outgoing.test(false, reason);
        } else {
            alerts = true;
            emit failed();
        }
    }
    if (alerts) {
        emit unavailable(reason);
    }
}

void DesktopNotifier::remember(uint id, const QString &server) {
    if (!open_.contains(id)) {
        openOrder_.push_back(id);
    }
    open_.insert(id, server);
    while (openOrder_.size() > OpenLimit) {
        open_.remove(openOrder_.takeFirst());
    }
}

void DesktopNotifier::onActionInvoked(uint id, const QString &key, const QDBusMessage &message) {
    // Another program's notification, or a sender that is not its server, is not ours to answer.
    const auto found = open_.constFind(id);
    if (found == open_.cend() || *found != message.service()) {
        return;
    }
    if (key == QLatin1String("acknowledge")) {
        emit acknowledgeInvoked();
    } else if (key == QLatin1String("open-log")) {
        emit openLogInvoked();
    }
}

void DesktopNotifier::onNotificationClosed(uint id, uint, const QDBusMessage &message) {
    const auto found = open_.constFind(id);
    if (found != open_.cend() && *found == message.service()) {
        open_.erase(found);
        openOrder_.removeOne(id);
    }
}

QString DesktopNotifier::iconFor(const QString &program) {
    if (program.isEmpty()) {
        return {};
    }
    if (const auto cached = icons_.constFind(program); cached != icons_.cend()) {
        return *cached;
    }
    const QString fileName = QFileInfo(program).fileName();
    QString icon;
    QSet<QString> seen;
    for (const QString &folder : applicationFolders()) {
        QDirIterator entries(folder, {QStringLiteral("*.desktop")}, QDir::Files,
                             QDirIterator::Subdirectories);
        while (icon.isEmpty() && entries.hasNext()) {
            const QString path = entries.next();
            // An entry of the same id in an earlier folder hides this one.
            const QString id = path.mid(folder.size());
            if (seen.contains(id)) {
                continue;
            }
            seen.insert(id);
            const DesktopEntry entry = readEntry(path);
            if (!entry.hidden && !entry.program.isEmpty() &&
                (entry.program == program || entry.program == fileName)) {
                icon = entry.icon;
            }
        }
        if (!icon.isEmpty()) {
            break;
        }
    }
    if (QDir::isAbsolutePath(icon)) {
        icon = QUrl::fromLocalFile(icon).toString();
    }
    icons_.insert(program, icon);
    return icon;
}

} // namespace engine
