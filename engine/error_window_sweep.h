#pragma once
// Error-report windows keep a crashed program alive: Timer14 asks them to
// close twice a second, paused or not.

#include <QObject>
#include <QString>

namespace engine {

class EventStream;
class SwitchedTimer;

class ErrorWindowSweep : public QObject {
    Q_OBJECT

public:
    ErrorWindowSweep(const EventStream &events, QObject *parent);

    /// One sweep: the topmost window whose title holds each of the titles,
    /// ignoring case, is asked to close, and each one asked is published.
    void sweep();

private:
    const EventStream &events_;
    SwitchedTimer *timer_ = nullptr;
};

} // namespace engine
