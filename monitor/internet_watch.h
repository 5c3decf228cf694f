#pragma once
// The main window's internet connection watch, run by Timer11.

#include <QObject>
#include <functional>

class Form1;
class QLabel;

/// Checks the connection; while there is none it raises the alarms that are
/// switched on and writes an entry to the log on every check. It keeps no
/// memory: a connection that comes back only changes the tool tip.
class InternetWatch : public QObject {
public:
    using Probe = std::function<bool()>;

    InternetWatch(Form1 &form, QLabel &indicator);

    /// Replaces the connection probe, so tests can take the connection away.
    void setProbe(Probe probe);

    /// One tick of Timer11.
    void check();

private:
    Form1 &form_;
    QLabel &indicator_;
    Probe probe_;
};
