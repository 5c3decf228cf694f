#pragma once
// Error-report windows keep a crashed program alive: Timer14 asks them to
// close twice a second, paused or not.

#include <QObject>
#include <QString>

namespace engine {

class FormTimer;

class ErrorWindowSweep : public QObject {
    Q_OBJECT

public:
    explicit ErrorWindowSweep(QObject *parent);

    /// One sweep: the topmost window whose title holds each of the titles,
    /// ignoring case, is asked to close.
    void sweep();

signals:
    /// A window was asked to close; `title` is its whole title.
    void windowDismissed(const QString &title);

private:
    FormTimer *timer_ = nullptr;
};

} // namespace engine
