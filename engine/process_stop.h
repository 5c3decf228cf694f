#pragma once
// Ending a watched program on Perstando's own decision (a hang, a failing
// probe, a limit): optionally its windows asked to close first, then SIGTERM,
// then SIGKILL, each step only while the same process lives. The signals
// reach the program's whole tree: its descendants and the orphans it left to
// Perstando, as seen when SIGTERM goes, so workers that outlive the program's
// own end are ended too. The stop holds its own memory of the process, so the
// signals reach it whatever the slot remembers by then.

#include "core/process_probe.h"
#include "core/process_usage.h"
#include "engine/process_end_watch.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <memory>
#include <vector>

namespace engine {

class ProcessStop : public QObject {
    Q_OBJECT

public:
    struct Plan {
        /// Ask the windows of the process and its descendants to close first.
        bool closeWindows = false;
        /// From the close request to SIGTERM; SIGTERM comes at once when no
        /// window was asked.
        std::chrono::milliseconds beforeTerm{0};
        /// From SIGTERM to SIGKILL.
        std::chrono::milliseconds beforeKill{5000};
    };

    explicit ProcessStop(QObject *parent = nullptr);
    ~ProcessStop() override;
    ProcessStop(const ProcessStop &) = delete;
    ProcessStop &operator=(const ProcessStop &) = delete;

    /// Starts stopping the process `process` remembers now, with `orphans`
    /// (children of Perstando its tree left behind). False, and nothing under
    /// way, when it reached nothing (no process, or it ended).
    bool begin(const processes::RememberedProcess &process, const Plan &plan,
               const std::vector<int> &orphans = {});
    /// Under way: begun and neither ended, killed without an end to watch, nor abandoned.
    bool active() const { return target_.pid() != 0; }
    /// Forgets the process and its tree; no further signal is sent.
    void abandon();

signals:
    /// The process ended while being stopped; emitted once. Without an end
    /// descriptor from the kernel it is not emitted: the slot's checks find
    /// the program gone.
    void ended();

private:
    void terminate();
    void kill();
    void signalTree(processes::Signal signal);
    /// Forgets the process; its tree still gets its SIGKILL.
    void release();

    processes::RememberedProcess target_;
    std::vector<int> orphans_;
    /// The tree as SIGTERM found it, until SIGKILL.
    std::vector<processes::TreeMember> tree_;
    std::unique_ptr<ProcessEndWatch> end_;
    QTimer termTimer_;
    QTimer killTimer_;
};

} // namespace engine
