#pragma once
// The internet connection watch, run by Timer11.

#include <QObject>
#include <functional>
#include <optional>

namespace engine {

class FormTimer;
class LogWriter;

/// Checks the connection; while there is none it reports the loss (the alarms
/// that are switched on go up) and writes an entry to the log on every check.
/// It keeps no memory: a connection that comes back only says so.
class InternetWatch : public QObject {
    Q_OBJECT

public:
    using Probe = std::function<bool()>;

    InternetWatch(const LogWriter &log, QObject *parent);

    /// Replaces the connection probe, so tests can take the connection away.
    void setProbe(Probe probe);
    /// One tick of Timer11.
    void check();
    FormTimer *timer() const { return timer_; }
    /// What the last check found; nothing before the first.
    std::optional<bool> connected() const { return connected_; }

signals:
    /// Before the log entry of a check that found no connection.
    void connectionLost();
    /// After every check.
    void checked(bool connected);

private:
    const LogWriter &log_;
    Probe probe_;
    FormTimer *timer_ = nullptr;
    std::optional<bool> connected_;
};

} // namespace engine
