#pragma once
// Desktop notifications through the session bus (org.freedesktop.Notifications),
// which GNOME, KDE and the Wayland and X11 notification daemons all serve and
// keep in their history. Nothing here waits on the bus: every call returns at
// once and the answers come back as signals.

#include <QDBusMessage>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

namespace engine {

struct Alert;

class DesktopNotifier : public QObject {
    Q_OBJECT

public:
    /// How long a call to the server may take before it counts as no answer.
    static constexpr int CallTimeoutMs = 10000;
    /// Notifications held while the bus is reached; beyond it the oldest goes.
    static constexpr int WaitingLimit = 50;

    explicit DesktopNotifier(QObject *parent = nullptr);
    ~DesktopNotifier() override;

    /// Shows `alert`: summary "Perstando", body the alert's sentence (with
    /// "Last exit:" when known), the program's icon where a desktop entry for
    /// `program` (its path) has one, urgency critical for an urgent alert,
    /// actions "Acknowledge" and "Open Log".
    void notify(const Alert &alert, const QString &program = {});
    /// The channel window's test: one "test" notification; `done(ok, text)`
    /// later with what the server said ("Shown by dunst 1.9.0") or why not.
    /// Told to `done` only, never as unavailable().
    void sendTest(std::function<void(bool, const QString &)> done);

    /// The icon of the desktop entry whose Exec= starts `program` (its path or
    /// its file name): an icon name, or a file:// address; empty when none.
    /// Looked up once per program.
    QString iconFor(const QString &program);

signals:
    /// Someone pressed "Acknowledge" on one of our notifications.
    void acknowledgeInvoked();
    /// Someone pressed "Open Log" on one of our notifications.
    void openLogInvoked();
    /// No notification server answered; `reason` says why. The caller logs it once.
    void unavailable(const QString &reason);
    /// A notification (the test's too) was taken by the server.
    void shown();
    /// One alert's notification was not shown: no server took it, or too
    /// many waited for the bus. The test's is told to its own callback only.
    void failed();

private slots:
    void onActionInvoked(uint id, const QString &key, const QDBusMessage &message);
    void onNotificationClosed(uint id, uint reason, const QDBusMessage &message);

private:
    struct Outgoing {
        QString body; ///< plain text; escaped when the server reads markup
        QString icon;
        bool urgent = false;
        std::function<void(bool, const QString &)> test; ///< set for the test only
    };
    enum class Link { None, Connecting, Connected };

    void send(Outgoing outgoing);
    void connectBus();
    void busReached(bool connected, const QString &why);
    void askCapabilities();
    void flush();
    void call(const Outgoing &outgoing);
    void askServerName(std::function<void(bool, const QString &)> done);
    /// Each waiting notification failed for `reason`; once as unavailable().
    void failWaiting(const QString &reason);
    void remember(uint id, const QString &server);

    QString connectionName_;
    Link link_ = Link::None;
    /// Whether the server reads markup in the body; nullopt until it said.
    std::optional<bool> markup_;
    bool asking_ = false;
    QList<Outgoing> waiting_;
    /// Our notifications still open, and the bus name of the server that took each.
    QHash<uint, QString> open_;
    QList<uint> openOrder_;
    QHash<QString, QString> icons_;
    /// Tells a connecting worker that outlives this object to let go of its connection.
    std::shared_ptr<bool> alive_;
};

} // namespace engine
