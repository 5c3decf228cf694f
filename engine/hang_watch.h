#pragma once
// "Not responding": the windows of each slot that asks for it are pinged every
// few seconds, and a program that leaves a ping unanswered for the slot's
// seconds is reported once, through its slot.
// With the slot's restart action it is then ended, SIGTERM and SIGKILL after
// a grace, and its end runs the slot's check, which restarts and reports it.
// Only slots with hangseconds set open the display connection.

#include "engine/settings.h"

#include <QObject>
#include <QTimer>
#include <array>
#include <chrono>
#include <memory>
#include <optional>

class QSocketNotifier;

namespace windowping {
class WindowPing;
}

namespace engine {

class ProcessStop;
class SlotWatcher;

class HangWatch : public QObject {
    Q_OBJECT

public:
    /// How often the windows are pinged at most.
    static constexpr std::chrono::milliseconds LongestRound{5000};
    /// How long an ended program gets between SIGTERM and SIGKILL.
    static constexpr std::chrono::milliseconds KillGrace{5000};

    HangWatch(SlotWatcher &watcher, QObject *parent);
    ~HangWatch() override;
    HangWatch(const HangWatch &) = delete;
    HangWatch &operator=(const HangWatch &) = delete;

    /// Takes each slot's seconds and action; no slot with seconds stops the pings.
    void apply(const settings::Snapshot &snapshot);
    /// One round: judges the answers so far, then pings again.
    void round();
    /// The time between rounds; 0 when nothing is pinged.
    std::chrono::milliseconds roundInterval() const;
    /// Replaces KillGrace for the endings that start from now on.
    void setKillGrace(std::chrono::milliseconds grace) { killGrace_ = grace; }

private:
    struct SlotHang {
        std::optional<int> seconds;
        bool restart = false;
        /// The hung program being ended.
        ProcessStop *ending = nullptr;
    };
    SlotHang &hang(int slot) { return slots_[static_cast<std::size_t>(slot - 1)]; }
    void judge(int slot, int pid);
    void end(int slot);
    void ended(int slot);

    SlotWatcher &watcher_;
    std::array<SlotHang, settings::SlotCount> slots_;
    /// Follows the display connection's socket (on) or lets it go (off).
    void readAnswers(bool on);

    std::unique_ptr<windowping::WindowPing> ping_;
    QSocketNotifier *answers_ = nullptr;
    QTimer timer_;
    std::chrono::milliseconds killGrace_ = KillGrace;
};

} // namespace engine
