#pragma once
// The internet connection watch, run by Timer11.

#include <QObject>
#include <functional>
#include <optional>

namespace engine {

class EventStream;
class SwitchedTimer;

/// Checks the connection; while there is none it publishes the loss on every
/// check. The first check that finds it again after a loss publishes its
/// return, once.
class InternetWatch : public QObject {
    Q_OBJECT

public:
    using Probe = std::function<bool()>;

    InternetWatch(const EventStream &events, QObject *parent);

    /// Replaces the connection probe, so tests can take the connection away.
    void setProbe(Probe probe);
    /// One tick of Timer11.
    void check();
    SwitchedTimer *timer() const { return timer_; }
    /// What the last check found; nothing before the first.
    std::optional<bool> connected() const { return connected_; }

signals:
    /// After every check.
    void checked(bool connected);

private:
    const EventStream &events_;
    Probe probe_;
    SwitchedTimer *timer_ = nullptr;
    std::optional<bool> connected_;
};

} // namespace engine
