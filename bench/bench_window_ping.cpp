// The window ping on an Xvfb display of the bench's own, with openbox: eight
// programs' windows that answer _NET_WM_PING among 100 other windows. One
// ping's round trip to a window and back, and one round over the eight
// programs (list, ping, take every answer) with the share of one core that a
// round every 5 s costs, in this process and in the X server.

#include "bench/cpu_time.h"
#include "core/window_ping.h"
#include "tests/support/x_server.h"

#include <benchmark/benchmark.h>

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>

using namespace testing_support;
using bench::cpuSecondsOf;
using bench::processCpuSeconds;

namespace {

constexpr int Programs = 8;
constexpr int OtherWindows = 100;
constexpr double RoundsPerSecond = 1.0 / 5;

struct Desktop {
    Desktop() : server(true), client(server.display()), ping(server.display()) {
        for (int i = 0; i < OtherWindows; ++i) {
            client.createWindow();
        }
        TestWindowOptions options;
        options.stay = true;
        options.answersPing = true;
        for (int i = 0; i < Programs; ++i) {
            windows.push_back(std::make_unique<TestWindow>(server.display(), options));
            pids.push_back(windows.back()->process().pid());
        }
        ready = waitUntil(
            [&] {
                // Answers are looked for before the next ping, which would wait again.
                ping.poll();
                const bool all = std::ranges::all_of(pids, [&](pid_t pid) {
                    return ping.silence(pid) == windowping::Clock::duration::zero();
                });
                if (!all) {
                    ping.ping(pids);
                }
                return all;
            },
            std::chrono::seconds(60));
    }

    /// Waits for the answers of `waited` to the pings sent.
    void collect(const std::vector<pid_t> &waited) {
        for (;;) {
            ping.poll();
            bool all = true;
            for (const pid_t pid : waited) {
                all = all && ping.silence(pid) == windowping::Clock::duration::zero();
            }
            if (all) {
                return;
            }
            pollfd fd{ping.descriptor(), POLLIN, 0};
            ::poll(&fd, 1, 1000);
        }
    }

    XServer server;
    XClient client;
    windowping::WindowPing ping;
    std::vector<std::unique_ptr<TestWindow>> windows;
    std::vector<pid_t> pids;
    bool ready = false;
};

Desktop &desktop() {
    static Desktop instance;
    return instance;
}

void BM_PingRoundTrip(benchmark::State &state) {
    Desktop &d = desktop();
    if (!d.ready) {
        state.SkipWithError("the windows did not answer");
        return;
    }
    const std::vector<pid_t> one{d.pids.front()};
    for (auto _ : state) {
        d.ping.ping(one);
        d.collect(one);
    }
}
BENCHMARK(BM_PingRoundTrip)->Unit(benchmark::kMicrosecond)->MinTime(2.0)->UseRealTime();

void BM_EightProgramsRound(benchmark::State &state) {
    Desktop &d = desktop();
    if (!d.ready) {
        state.SkipWithError("the windows did not answer");
        return;
    }
    const double ownBefore = processCpuSeconds();
    const double serverBefore = cpuSecondsOf(d.server.serverPid());
    for (auto _ : state) {
        d.ping.ping(d.pids);
        d.collect(d.pids);
    }
    const double rounds = static_cast<double>(state.iterations());
    state.counters["own_cpu_share_pct"] =
        (processCpuSeconds() - ownBefore) / rounds * RoundsPerSecond * 100;
    state.counters["xserver_cpu_share_pct"] =
        (cpuSecondsOf(d.server.serverPid()) - serverBefore) / rounds * RoundsPerSecond * 100;
}
BENCHMARK(BM_EightProgramsRound)->Unit(benchmark::kMicrosecond)->MinTime(2.0)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
