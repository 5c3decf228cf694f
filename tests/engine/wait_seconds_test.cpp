// The wait that paces the restart e-mail.

#include "engine/wait_seconds.h"

#include <QElapsedTimer>
#include <QTimer>
#include <gtest/gtest.h>
#include <sys/resource.h>

namespace {

double cpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval &t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

TEST(WaitSeconds, ReturnsAfterTheTimeWithTheEventLoopRunningAndWithoutSpinning) {
    int ticks = 0;
    QTimer other;
    QObject::connect(&other, &QTimer::timeout, &other, [&] { ++ticks; });
    other.start(50);
    const double cpuBefore = cpuSeconds();
    QElapsedTimer clock;
    clock.start();
    engine::waitSeconds(2);
    const qint64 elapsed = clock.elapsed();
    const double cpu = cpuSeconds() - cpuBefore;
    EXPECT_GE(elapsed, 2000);
    EXPECT_LT(elapsed, 10000);
    EXPECT_GE(ticks, 20);
    EXPECT_LT(cpu, 0.2) << "a wait that spins burns the whole 2 s";
}

} // namespace
