#pragma once
// A notification server for the engine tests: org.freedesktop.Notifications
// on a connection of its own to a test bus. It records what it is asked to
// show and sends ActionInvoked as a user's click would.

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <vector>

namespace testing_support {

class NotificationServer : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    struct Shown {
        uint id = 0;
        QString app;
        uint replaces = 0;
        QString icon;
        QString summary;
        QString body;
        QStringList actions;
        int urgency = -1; ///< -1: no urgency hint
        QString desktopEntry;
        int timeout = 0;
    };

    /// Owns the name on the bus at `address`; throws when it cannot.
    explicit NotificationServer(const QString &address,
                                QStringList capabilities = {QStringLiteral("actions"),
                                                            QStringLiteral("body")});
    ~NotificationServer() override;

    const std::vector<Shown> &shown() const { return shown_; }
    /// As a click on the action `key` of notification `id`.
    void invoke(uint id, const QString &key) { emit ActionInvoked(id, key); }

public slots:
    uint Notify(const QString &app, uint replaces, const QString &icon, const QString &summary,
                const QString &body, const QStringList &actions, const QVariantMap &hints,
                int timeout);
    QStringList GetCapabilities() { return capabilities_; }
    void CloseNotification(uint id) { emit NotificationClosed(id, 3); }
    QString GetServerInformation(QString &vendor, QString &version, QString &protocolVersion);

signals:
    void ActionInvoked(uint id, const QString &key);
    void NotificationClosed(uint id, uint reason);

private:
    QString connection_;
    QStringList capabilities_;
    std::vector<Shown> shown_;
    uint next_ = 41;
};

} // namespace testing_support
