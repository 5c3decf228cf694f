#include "core/boot_timer.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <cstdint>
#include <ctime>

namespace core {

// CLOCK_BOOTTIME counts suspend, unlike CLOCK_MONOTONIC, which Qt's timers use.
BootTimer::BootTimer() noexcept
    : fd_(::timerfd_create(CLOCK_BOOTTIME, TFD_NONBLOCK | TFD_CLOEXEC)) {}

bool BootTimer::arm(std::chrono::milliseconds after) noexcept {
    if (!valid()) {
        return false;
    }
    // An all-zero value would disarm: the soonest is one nanosecond.
    const auto ms = after.count() > 0 ? after.count() : 0;
    itimerspec value{};
    value.it_value.tv_sec = static_cast<time_t>(ms / 1000);
    value.it_value.tv_nsec = ms > 0 ? static_cast<long>((ms % 1000) * 1'000'000) : 1;
    return ::timerfd_settime(fd_.get(), 0, &value, nullptr) == 0;
}

void BootTimer::disarm() noexcept {
    if (valid()) {
        const itimerspec none{};
        ::timerfd_settime(fd_.get(), 0, &none, nullptr);
    }
}

bool BootTimer::take() noexcept {
    std::uint64_t expirations = 0;
    return valid() && ::read(fd_.get(), &expirations, sizeof expirations) ==
                          static_cast<ssize_t>(sizeof expirations);
}

std::chrono::milliseconds BootTimer::now() noexcept {
    timespec time{};
    ::clock_gettime(CLOCK_BOOTTIME, &time);
    return std::chrono::seconds(time.tv_sec) +
           std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::nanoseconds(time.tv_nsec));
}

} // namespace core
