#include "engine/watch_counters.h"

namespace engine {

void WatchCounters::count(const Event &event) {
    if (event.slot < 1 || event.slot > static_cast<int>(slots_.size())) {
        return;
    }
    SlotCounts &counts = slots_[static_cast<std::size_t>(event.slot - 1)];
    if (event.kind == Event::Kind::Restarted) {
        ++counts.restarts[static_cast<std::size_t>(event.reason)];
        counts.lastRestart = event.time;
    } else if (event.kind == Event::Kind::RestartFailed) {
        ++counts.restartFailures;
    }
}

} // namespace engine
