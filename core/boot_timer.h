#pragma once
// A one-shot timer on the clock that keeps counting while the machine sleeps
// or the process is stopped, as a descriptor that turns readable when it is
// due; an event loop watches the descriptor.

#include "core/unique_fd.h"

#include <chrono>

namespace core {

class BootTimer {
public:
    /// A disarmed timer; valid() tells whether the system gave one.
    BootTimer() noexcept;

    bool valid() const noexcept { return fd_.valid(); }
    /// Readable once the timer is due; -1 when there is none.
    int fd() const noexcept { return fd_.get(); }
    /// Due `after` from now (at once for zero or less), replacing any earlier arming.
    bool arm(std::chrono::milliseconds after) noexcept;
    void disarm() noexcept;
    /// Takes the expiry so that the descriptor is quiet again; whether it was due.
    bool take() noexcept;
    /// The time on that clock, from an arbitrary start.
    static std::chrono::milliseconds now() noexcept;

private:
    UniqueFd fd_;
};

} // namespace core
