#pragma once
// Counts since Perstando started, kept in memory for the metrics: each slot's
// restarts by what brought them about, its failed restarts and the time of its
// last restart, and the alerts each channel gave up on.

#include "engine/event_stream.h"
#include "engine/settings.h"

#include <QDateTime>
#include <array>
#include <cstdint>

namespace engine {

/// The channels whose failures are counted.
enum class AlertChannel { Mail, Webhook, Notify };
inline constexpr std::array<AlertChannel, 3> AlertChannels{
    AlertChannel::Mail, AlertChannel::Webhook, AlertChannel::Notify};
inline constexpr std::array<RestartReason, 5> RestartReasons{
    RestartReason::Gone, RestartReason::NotResponding, RestartReason::Unhealthy,
    RestartReason::OverLimit, RestartReason::Check};

struct SlotCounts {
    /// Restarts that started the program, by RestartReason.
    std::array<std::uint64_t, RestartReasons.size()> restarts{};
    std::uint64_t restartFailures = 0;
    /// The last restart that started the program; invalid before it.
    QDateTime lastRestart;

    std::uint64_t restartsFor(RestartReason reason) const {
        return restarts[static_cast<std::size_t>(reason)];
    }
};

class WatchCounters {
public:
    /// Takes a Restarted or RestartFailed event of slots 1 to 8; others pass.
    void count(const Event &event);
    void deliveryFailed(AlertChannel channel) { ++failures_[static_cast<std::size_t>(channel)]; }

    /// The counts of slot 1 to 8.
    const SlotCounts &slot(int slot) const { return slots_[static_cast<std::size_t>(slot - 1)]; }
    std::uint64_t deliveryFailures(AlertChannel channel) const {
        return failures_[static_cast<std::size_t>(channel)];
    }

private:
    std::array<SlotCounts, settings::SlotCount> slots_{};
    std::array<std::uint64_t, AlertChannels.size()> failures_{};
};

} // namespace engine
