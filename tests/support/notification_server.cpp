#include "tests/support/notification_server.h"

#include <QDBusConnection>
#include <QDBusError>

#include <stdexcept>

namespace testing_support {

NotificationServer::NotificationServer(const QString &address, QStringList capabilities)
    : capabilities_(std::move(capabilities)) {
    static int servers = 0;
    connection_ = QStringLiteral("test-notification-server-%1").arg(++servers);
    QDBusConnection bus = QDBusConnection::connectToBus(address, connection_);
    if (!bus.isConnected() ||
        !bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), this,
                            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals) ||
        !bus.registerService(QStringLiteral("org.freedesktop.Notifications"))) {
        const std::string why = bus.lastError().message().toStdString();
        QDBusConnection::disconnectFromBus(connection_);
        throw std::runtime_error("the test notification server could not start: " + why);
    }
}

NotificationServer::~NotificationServer() {
    QDBusConnection(connection_).unregisterService(QStringLiteral("org.freedesktop.Notifications"));
    QDBusConnection::disconnectFromBus(connection_);
}

uint NotificationServer::Notify(const QString &app, uint replaces, const QString &icon,
                                const QString &summary, const QString &body,
                                const QStringList &actions, const QVariantMap &hints, int timeout) {
    Shown shown{++next_,
                app,
                replaces,
                icon,
                summary,
                body,
                actions,
                hints.contains(QStringLiteral("urgency"))
                    ? hints.value(QStringLiteral("urgency")).toInt()
                    : -1,
                hints.value(QStringLiteral("desktop-entry")).toString(),
                timeout};
    shown_.push_back(shown);
    return shown.id;
}

QString NotificationServer::GetServerInformation(QString &vendor, QString &version,
                                                 QString &protocolVersion) {
    vendor = QStringLiteral("Perstando tests");
    version = QStringLiteral("1.2.3");
    protocolVersion = QStringLiteral("1.2");
    return QStringLiteral("testserver");
}

} // namespace testing_support
