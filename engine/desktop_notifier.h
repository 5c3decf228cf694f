#pragma once
// Desktop notifications through the session bus (org.freedesktop.Notifications),
// which GNOME, KDE and the Wayland and X11 notification daemons all serve and
// keep in their history. Nothing here waits on the bus: every call returns at
// once and the answers come back as signals.

#include <QObject>
#include <QString>

#include <functional>

namespace engine {

struct Alert;

class DesktopNotifier : public QObject {
    Q_OBJECT

public:
    explicit DesktopNotifier(QObject *parent = nullptr);
    ~DesktopNotifier() override;

    /// Shows `alert`: summary "Perstando", body the alert's sentence (with
    /// "Last exit:" when known), the program's icon where a desktop entry for
    /// `program` (its path) has one, urgency critical for an urgent alert,
    /// actions "Acknowledge" and "Open Log".
    void notify(const Alert &alert, const QString &program = {});
    /// The channel window's test: one "test" notification; `done(ok, text)`
    /// later with what the server said ("Shown by dunst 1.9.0") or why not.
    void sendTest(std::function<void(bool, const QString &)> done);

signals:
    /// Someone pressed "Acknowledge" on one of our notifications.
    void acknowledgeInvoked();
    /// Someone pressed "Open Log" on one of our notifications.
    void openLogInvoked();
    /// No notification server answered; `reason` says why. The caller logs it once.
    void unavailable(const QString &reason);
};

} // namespace engine
