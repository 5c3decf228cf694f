#pragma once
// Health and limits: each slot with a probe has it run on its own timer, off
// the check path; each slot with a memory or CPU limit has its program's
// usage read at every check that finds it running. Failures in a row, after
// the grace that follows a start, put the slot in the phase Unhealthy or
// OverLimit and publish one event; with the slot's action the program is then
// stopped gracefully and its check restarts it like any other. Counts start
// over on a pass and with every new process.

#include "core/process_probe.h"
#include "core/process_usage.h"
#include "engine/health_probe.h"
#include "engine/settings.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <array>
#include <chrono>
#include <memory>
#include <optional>

namespace engine {

class ProcessStop;
class SlotWatcher;

/// What `--status` shows of a slot's health and usage.
struct HealthRecord {
    /// The slot has a probe that can run.
    bool probed = false;
    /// The last probe that ended, counted or not.
    std::optional<ProbeResult> last;
    /// Failures in a row that counted.
    int failures = 0;
    /// The program's usage at its last check, when a limit or a probe is set.
    std::optional<double> memoryMiB;
    std::optional<double> cpuPercent;
};

/// A program's usage as one check read it, and the process it was read for.
struct UsageReading {
    processes::ProcessIdentity process;
    processes::Usage usage;
};

class HealthWatch : public QObject {
    Q_OBJECT

public:
    /// How long a stopped program gets after its windows were asked to close,
    /// and again after SIGTERM.
    static constexpr std::chrono::milliseconds StopGrace{5000};

    HealthWatch(SlotWatcher &watcher, QObject *parent);
    ~HealthWatch() override;
    HealthWatch(const HealthWatch &) = delete;
    HealthWatch &operator=(const HealthWatch &) = delete;

    /// Takes each slot's probe, limits and actions; a slot whose probe changed
    /// starts over.
    void apply(const settings::Snapshot &snapshot);
    const HealthRecord &record(int slot) const;
    /// Runs slot N's probe now, unless one is in flight (what its timer does).
    void probe(int slot);
    /// Replaces StopGrace for the stops that start from now on.
    void setStopGrace(std::chrono::milliseconds grace) { stopGrace_ = grace; }
    /// From now on every check of a slot reads its program's usage, not only
    /// a limited or probed slot's: the metrics tell it from there.
    void keepUsage() { keepUsage_ = true; }
    /// The usage the slot's last check read; nullopt when it read none.
    const std::optional<UsageReading> &usage(int slot) const;

private:
    struct SlotHealth;
    SlotHealth &health(int slot);
    const SlotHealth &health(int slot) const;
    /// Starts over when the slot's process is another than last time.
    bool sameProcess(int slot);
    void probed(int slot, const ProbeResult &result);
    void sample(int slot);
    /// At the end of a check: the reading kept, unless sample() took it.
    void keepReading(int slot);
    void fail(int slot, bool limit, const QString &reason);
    void pass(int slot, bool limit);
    void stop(int slot);

    SlotWatcher &watcher_;
    std::array<std::unique_ptr<SlotHealth>, settings::SlotCount> slots_;
    std::chrono::milliseconds stopGrace_ = StopGrace;
    bool keepUsage_ = false;
};

} // namespace engine
