#pragma once
// The end of a remembered process, seen by the event loop: the process's end
// descriptor under a socket notifier, with no waiting and no polling.

#include "core/unique_fd.h"

#include <QObject>
#include <memory>

class QSocketNotifier;

namespace processes {
class RememberedProcess;
}

namespace engine {

class ProcessEndWatch : public QObject {
    Q_OBJECT

public:
    /// Watches the process `process` remembers now, whatever it remembers
    /// later; nullptr when there is nothing to watch (no process, or a kernel
    /// without end descriptors: the caller's timers must do).
    static std::unique_ptr<ProcessEndWatch> watch(const processes::RememberedProcess &process);
    ~ProcessEndWatch() override;
    ProcessEndWatch(const ProcessEndWatch &) = delete;
    ProcessEndWatch &operator=(const ProcessEndWatch &) = delete;

signals:
    /// The process ended; emitted once. A receiver may delete the watch.
    void ended();

private:
    explicit ProcessEndWatch(core::UniqueFd fd);

    core::UniqueFd fd_;
    /// Declared after the descriptor: it goes before the descriptor closes.
    std::unique_ptr<QSocketNotifier> notifier_;
};

} // namespace engine
