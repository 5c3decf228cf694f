#pragma once
// Everything that happens to a slot or to the watcher, as one stream. The
// log, the alarms, the popups, the e-mail and whatever channel comes next are
// consumers attached in one place (Watchdog), in the order they are told; the
// producers know none of them.

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <functional>
#include <vector>

namespace engine {

/// What brought a restart about.
enum class RestartReason {
    Gone,          ///< the program was found gone by its timer or the end of its process
    NotResponding, ///< Perstando ended it: its windows did not answer
    Unhealthy,     ///< Perstando ended it: its health probe failed
    OverLimit,     ///< Perstando ended it: over its memory or CPU limit
    Check,         ///< found gone by a check asked for from the shell (`--check N`)
};

struct Event {
    enum class Kind {
        Restarted,           ///< the program was gone and is started again; detail: how its
                             ///< last process ended, when known ("exited with status 3")
        RestartFailed,       ///< the program was gone and could not be started; detail: the same
        StartRefused,        ///< ... because of its settings; detail: why (before RestartFailed)
        OutputNotKept,       ///< a start's output goes nowhere; detail: why (before Restarted)
        CommandLineRun,      ///< a restart's command-line action was started
        CommandLineFailed,   ///< ... or could not be
        GaveUp,              ///< detail: the give-up sentence
        WatchedAgain,        ///< a slot that gave up is watched again
        NotResponding,       ///< the program's windows left a ping unanswered
        RespondingAgain,     ///< ... and answer again
        Unhealthy,           ///< a failing probe or a limit exceeded; detail: the reason
        HealthyAgain,        ///< ... and passing or back under it
        Closed,              ///< the program Perstando started exited with 0 and is not restarted
        ConnectionLost,      ///< slot 0: the internet connection is gone
        ConnectionBack,      ///< slot 0: ... and is there again
        ErrorWindowDismissed ///< slot 0; detail: the window's title
    };
    Kind kind;
    int slot = 0; ///< 1 to 8; 0 for the watcher as a whole
    QDateTime time;
    int pid = 0;  ///< the process concerned; 0 when none is known
    QString name; ///< the slot's name as shown
    QString detail;
    /// Restarted and RestartFailed: the last lines the ended program wrote,
    /// when its output was kept; oldest first.
    QStringList output{};
    /// Restarted and RestartFailed: what brought the restart about.
    RestartReason reason = RestartReason::Gone;
};

class EventStream {
public:
    using Consumer = std::function<void(const Event &)>;

    /// Consumers run in the order they were attached, each whatever the
    /// others did. An event published by a consumer runs through all of
    /// them before the rest of the first event's consumers.
    void attach(Consumer consumer) { consumers_.push_back(std::move(consumer)); }
    void publish(const Event &event) const;
    /// Builds the event with the time now and publishes it.
    void publish(Event::Kind kind, int slot, int pid = 0, const QString &name = {},
                 const QString &detail = {}) const;

private:
    std::vector<Consumer> consumers_;
};

} // namespace engine
