#include "engine/health_watch.h"

#include "core/process_usage.h"
#include "engine/process_stop.h"
#include "engine/slot_watcher.h"

#include <QLocale>

#include <algorithm>
#include <utility>

namespace engine {

namespace {

/// Usage as read at one check, for the CPU share over the next interval.
struct Sample {
    std::uint64_t cpuTicks = 0;
    qint64 atMs = 0;
};

/// Grouped the way the log reads everywhere: "1,205".
QString grouped(double value) {
    return QLocale(QLocale::English).toString(value, 'f', 0);
}

constexpr double MiB = 1024.0 * 1024.0;

} // namespace

struct HealthWatch::SlotHealth {
    settings::Slot settings;
    ParsedProbe parsed;
    HealthProbe probe;
    QTimer timer;
    ProcessStop stop;
    /// The process the counts are about, and since when it is seen.
    processes::ProcessIdentity process;
    QElapsedTimer seen;
    /// The process a probe in flight was started for.
    processes::ProcessIdentity probing;
    HealthRecord record;
    bool probeReported = false;
    int memoryOver = 0;
    int cpuOver = 0;
    bool limitReported = false;
    std::optional<Sample> last;
    std::optional<UsageReading> kept;
    bool sampled = false; ///< at the check under way

    bool limited() const { return settings.maxMemoryMiB > 0 || settings.maxCpuPercent > 0; }
    /// Counts and readings start over for another process.
    void startOver(const processes::ProcessIdentity &now) {
        process = now;
        seen.start();
        record.failures = 0;
        probeReported = false;
        memoryOver = 0;
        cpuOver = 0;
        limitReported = false;
        last.reset();
        record.memoryMiB.reset();
        record.cpuPercent.reset();
    }
};

HealthWatch::HealthWatch(SlotWatcher &watcher, QObject *parent)
    : QObject(parent), watcher_(watcher) {
    for (int n = 1; n <= settings::SlotCount; ++n) {
        auto &s = slots_[static_cast<std::size_t>(n - 1)];
        s = std::make_unique<SlotHealth>();
        connect(&s->timer, &QTimer::timeout, this, [this, n] { probe(n); });
        connect(&s->probe, &HealthProbe::finished, this,
                [this, n](const ProbeResult &result) { probed(n, result); });
        connect(&s->stop, &ProcessStop::ended, this, [this, n] {
            // The slot's own check restarts it and reports the restart.
            if (watcher_.checking(n)) {
                watcher_.tick(n);
            }
        });
    }
    connect(&watcher_, &SlotWatcher::foundRunning, this, &HealthWatch::sample);
    connect(&watcher_, &SlotWatcher::checked, this, [this](int slot) { keepReading(slot); });
}

HealthWatch::~HealthWatch() = default;

HealthWatch::SlotHealth &HealthWatch::health(int slot) {
    return *slots_[static_cast<std::size_t>(slot - 1)];
}

const HealthWatch::SlotHealth &HealthWatch::health(int slot) const {
    return *slots_[static_cast<std::size_t>(slot - 1)];
}

const HealthRecord &HealthWatch::record(int slot) const {
    return health(slot).record;
}

const std::optional<UsageReading> &HealthWatch::usage(int slot) const {
    return health(slot).kept;
}

void HealthWatch::apply(const settings::Snapshot &snapshot) {
    for (int n = 1; n <= settings::SlotCount; ++n) {
        SlotHealth &s = health(n);
        const settings::Slot &read = snapshot.perSlot[static_cast<std::size_t>(n - 1)];
        const bool probeChanged = read.health != s.settings.health;
        s.settings = read;
        if (probeChanged) {
            s.parsed = parseProbe(read.health);
            s.probe.cancel();
            s.record.last.reset();
            s.record.failures = 0;
            s.probeReported = false;
        }
        s.record.probed = s.parsed.kind != ParsedProbe::Kind::None && s.parsed.error.isEmpty();
        if (!s.record.probed) {
            s.timer.stop();
            continue;
        }
        const int interval = std::max(read.healthSeconds, 1) * 1000;
        if (!s.timer.isActive() || s.timer.interval() != interval) {
            s.timer.start(interval);
        }
    }
}

bool HealthWatch::sameProcess(int slot) {
    SlotHealth &s = health(slot);
    const processes::ProcessIdentity now = watcher_.remembered(slot).identity();
    if (now == s.process) {
        return true;
    }
    s.startOver(now);
    return false;
}

void HealthWatch::probe(int slot) {
    SlotHealth &s = health(slot);
    // Nothing to probe while the slot is not checked, its program is gone or
    // being stopped: the slot's own check deals with those.
    if (!s.record.probed || s.probe.busy() || s.stop.active() || !watcher_.checking(slot) ||
        watcher_.rememberedProcess(slot) == 0) {
        return;
    }
    sameProcess(slot);
    const settings::Slot &c = s.settings;
    ProbeOptions options;
    options.timeout = std::chrono::seconds(std::max(c.healthTimeout, 1));
    options.expectText = c.healthText;
    options.caFile = c.healthCaFile;
    options.heartbeatAge =
        std::chrono::seconds(std::max(c.healthSeconds, 1)) * std::max(c.healthFailures, 1);
    options.workingDirectory = c.workingDirectory;
    options.ownerPid = s.process.pid;
    s.probing = s.process;
    s.probe.run(s.parsed, options);
}

void HealthWatch::probed(int slot, const ProbeResult &result) {
    SlotHealth &s = health(slot);
    s.record.last = result;
    // An answer about a process that is gone counts for nothing.
    if (!sameProcess(slot) || s.probing != s.process) {
        return;
    }
    if (result.healthy) {
        s.record.failures = 0;
        if (s.probeReported) {
            s.probeReported = false;
            pass(slot, false);
        }
        return;
    }
    // A program still starting up is not failing yet.
    if (s.seen.elapsed() < qint64{s.settings.healthGrace} * 1000) {
        return;
    }
    ++s.record.failures;
    if (s.record.failures >= std::max(s.settings.healthFailures, 1) && !s.probeReported) {
        s.probeReported = true;
        fail(slot, false, result.reason);
    }
}

void HealthWatch::sample(int slot) {
    SlotHealth &s = health(slot);
    if (!s.limited() && !s.record.probed) {
        return; // a slot without either costs nothing at its check
    }
    sameProcess(slot);
    const auto usage = processes::treeUsage(watcher_.remembered(slot), watcher_.orphans(slot));
    s.sampled = true;
    s.kept.reset();
    if (!usage) {
        return;
    }
    s.kept = UsageReading{s.process, *usage};
    const qint64 nowMs = watcher_.nowMs();
    const double memory = static_cast<double>(usage->residentBytes) / MiB;
    s.record.memoryMiB = memory;
    std::optional<double> cpu;
    if (s.last && nowMs > s.last->atMs && usage->cpuTicks >= s.last->cpuTicks) {
        const double seconds = static_cast<double>(usage->cpuTicks - s.last->cpuTicks) /
                               static_cast<double>(processes::clockTicksPerSecond());
        cpu = seconds * 100'000.0 / static_cast<double>(nowMs - s.last->atMs);
        s.record.cpuPercent = cpu;
    }
    s.last = Sample{usage->cpuTicks, nowMs};
    if (!s.limited()) {
        return;
    }
    const settings::Slot &c = s.settings;
    s.memoryOver = c.maxMemoryMiB > 0 && memory > c.maxMemoryMiB ? s.memoryOver + 1 : 0;
    if (cpu) {
        s.cpuOver = c.maxCpuPercent > 0 && *cpu > c.maxCpuPercent ? s.cpuOver + 1 : 0;
    }
    const int checks = std::max(c.limitChecks, 1);
    if (s.limitReported) {
        if (s.memoryOver == 0 && s.cpuOver == 0) {
            s.limitReported = false;
            pass(slot, true);
        }
        return;
    }
    // A walk cut short read less than there is: what it read is a floor.
    const QString atLeast = usage->cut ? QStringLiteral("at least ") : QString();
    const QString cutShort =
        usage->cut ? QStringLiteral(": more than %1 processes")
                         .arg(grouped(static_cast<double>(processes::MaxTreeProcesses)))
                   : QString();
    QString reason;
    if (s.memoryOver >= checks) {
        reason = QStringLiteral("%1%2 MiB%3, over its limit of %4 MiB for %5 checks")
                     .arg(atLeast, grouped(memory), cutShort, grouped(c.maxMemoryMiB))
                     .arg(s.memoryOver);
    } else if (s.cpuOver >= checks) {
        reason = QStringLiteral("%1%2 % of a core%3, over %4 % for %5 checks")
                     .arg(atLeast, grouped(*cpu), cutShort, grouped(c.maxCpuPercent))
                     .arg(s.cpuOver);
    } else {
        return;
    }
    s.limitReported = true;
    fail(slot, true, reason);
}

void HealthWatch::keepReading(int slot) {
    SlotHealth &s = health(slot);
    if (std::exchange(s.sampled, false)) {
        return;
    }
    s.kept.reset();
    const processes::RememberedProcess &process = watcher_.remembered(slot);
    if (!keepUsage_ || process.pid() == 0) {
        return;
    }
    if (const auto usage = processes::treeUsage(process, watcher_.orphans(slot))) {
        s.kept = UsageReading{process.identity(), *usage};
    }
}

void HealthWatch::fail(int slot, bool limit, const QString &reason) {
    SlotHealth &s = health(slot);
    watcher_.reportUnhealthy(slot, limit ? Phase::OverLimit : Phase::Unhealthy, reason);
    const bool restart = limit ? s.settings.restartWhenOverLimit : s.settings.restartWhenUnhealthy;
    if (restart) {
        stop(slot);
    }
}

void HealthWatch::pass(int slot, bool limit) {
    const SlotHealth &s = health(slot);
    // Well again only when neither the probe nor a limit still fails.
    const bool otherFails = limit ? s.probeReported : s.limitReported;
    if (!otherFails) {
        watcher_.healthyAgain(slot);
    }
}

void HealthWatch::stop(int slot) {
    SlotHealth &s = health(slot);
    if (s.stop.active()) {
        return;
    }
    s.probe.cancel();
    ProcessStop::Plan plan;
    plan.closeWindows = true;
    plan.beforeTerm = stopGrace_;
    plan.beforeKill = stopGrace_;
    watcher_.stopAsked(slot);
    s.stop.begin(watcher_.remembered(slot), plan, watcher_.orphans(slot));
}

} // namespace engine
