// One closeTopmostTitled sweep over 200 top-level windows, none of them matching (the
// usual case and the most work: every window is looked at), on an Xvfb
// display of the bench's own, without and with a window manager. Besides the
// time per call it reports the share of one core that Timer14's six sweeps a
// second cost, in this process and in the X server, and the time of the first
// sweep, which reads every title (later ones read only what changed).
// KillWinSweep is the idle sweep: nothing changed since the last one.
// KillWinSweepAfterChange sweeps right after one window's title changed.
// Both count the requests a sweep sends.

#include "bench/cpu_time.h"
#include "core/window_closer.h"
#include "tests/support/x_server.h"

#include <benchmark/benchmark.h>
#include <xcb/xcb.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using namespace testing_support;
using bench::cpuSecondsOf;
using bench::processCpuSeconds;

namespace {

constexpr int WindowCount = 200;
constexpr double SweepsPerSecond = 6; // Timer14: three calls every 500 ms

/// A server with 200 mapped, titled windows of one client, all listed.
struct Desktop {
    explicit Desktop(bool managed) : server(managed) {
        ::setenv("DISPLAY", server.display().c_str(), 1);
        connection = xcb_connect(server.display().c_str(), nullptr);
        const xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
        const auto atom = [&](const char *name) {
            auto *reply = xcb_intern_atom_reply(
                connection, xcb_intern_atom(connection, 0, std::strlen(name), name), nullptr);
            const xcb_atom_t result = reply->atom;
            std::free(reply);
            return result;
        };
        netWmName = atom("_NET_WM_NAME");
        utf8 = atom("UTF8_STRING");
        for (int i = 0; i < WindowCount; ++i) {
            const xcb_window_t window = xcb_generate_id(connection);
            windows.push_back(window);
            xcb_create_window(connection, XCB_COPY_FROM_PARENT, window, screen->root, i, i, 200,
                              100, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, 0,
                              nullptr);
            const std::string title = "Document " + std::to_string(i) + " - Text Editor";
            xcb_change_property(connection, XCB_PROP_MODE_REPLACE, window, netWmName, utf8, 8,
                                title.size(), title.data());
            xcb_change_property(connection, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_NAME,
                                XCB_ATOM_STRING, 8, title.size(), title.data());
            xcb_map_window(connection, window);
        }
        xcb_flush(connection);
        XClient client(server.display());
        listed = waitUntil(
            [&] { return static_cast<int>(client.topmostFirst(managed).size()) >= WindowCount; },
            std::chrono::seconds(60));
        // The first sweep reads every title; later ones only what events said changed.
        windowcloser::windowTitle(client.root()); // connects
        const double cpuStart = processCpuSeconds();
        const auto start = std::chrono::steady_clock::now();
        windowcloser::closeTopmostTitled("Application Error");
        firstSweepCpuMs = (processCpuSeconds() - cpuStart) * 1000;
        firstSweepMs =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
    }
    ~Desktop() { xcb_disconnect(connection); }

    /// Retitles one window, still not matching, and waits until the server
    /// has done it, so its event is on its way to the closer.
    void retitle(int index, int round) {
        const std::string title =
            "Document " + std::to_string(index) + " (" + std::to_string(round) + ") - Text Editor";
        xcb_change_property(connection, XCB_PROP_MODE_REPLACE,
                            windows[static_cast<std::size_t>(index)], netWmName, utf8, 8,
                            title.size(), title.data());
        std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
    }

    XServer server;
    xcb_connection_t *connection = nullptr;
    std::vector<xcb_window_t> windows;
    xcb_atom_t netWmName = XCB_NONE;
    xcb_atom_t utf8 = XCB_NONE;
    bool listed = false;
    double firstSweepMs = 0;
    double firstSweepCpuMs = 0;
};

Desktop &desktop(bool managed) {
    static std::unique_ptr<Desktop> current;
    if (!current || current->server.hasWindowManager() != managed) {
        current.reset(); // one server at a time
        current = std::make_unique<Desktop>(managed);
    }
    return *current;
}

void BM_KillWinSweep(benchmark::State &state) {
    Desktop &d = desktop(state.range(0) != 0);
    if (!d.listed) {
        state.SkipWithError("the windows were not all listed");
        return;
    }
    // The sweep before the loop reads what setting up left unread.
    windowcloser::closeTopmostTitled("Application Error");
    const double ownBefore = processCpuSeconds();
    const double serverBefore = cpuSecondsOf(d.server.serverPid());
    const std::uint64_t requestsBefore = windowcloser::requestsSent();
    bool matched = false;
    for (auto _ : state) {
        const auto closed = windowcloser::closeTopmostTitled("Application Error");
        matched = matched || closed.has_value();
        benchmark::DoNotOptimize(closed);
    }
    const double calls = static_cast<double>(state.iterations());
    const double ownPerCall = (processCpuSeconds() - ownBefore) / calls;
    const double serverPerCall = (cpuSecondsOf(d.server.serverPid()) - serverBefore) / calls;
    state.counters["own_cpu_share_pct"] = ownPerCall * SweepsPerSecond * 100;
    state.counters["xserver_cpu_share_pct"] = serverPerCall * SweepsPerSecond * 100;
    state.counters["first_sweep_ms"] = d.firstSweepMs;
    state.counters["first_sweep_cpu_ms"] = d.firstSweepCpuMs;
    state.counters["requests_per_sweep"] =
        static_cast<double>(windowcloser::requestsSent() - requestsBefore) / calls;
    if (matched) {
        state.SkipWithError("a window matched");
    }
}

void BM_KillWinSweepAfterChange(benchmark::State &state) {
    Desktop &d = desktop(state.range(0) != 0);
    if (!d.listed) {
        state.SkipWithError("the windows were not all listed");
        return;
    }
    std::uint64_t requests = 0;
    bool matched = false;
    int round = 0;
    for (auto _ : state) {
        state.PauseTiming();
        ++round;
        d.retitle(round % WindowCount, round);
        const std::uint64_t before = windowcloser::requestsSent();
        state.ResumeTiming();
        const auto closed = windowcloser::closeTopmostTitled("Application Error");
        state.PauseTiming();
        requests += windowcloser::requestsSent() - before;
        state.ResumeTiming();
        matched = matched || closed.has_value();
        benchmark::DoNotOptimize(closed);
    }
    state.counters["requests_per_sweep"] =
        static_cast<double>(requests) / static_cast<double>(state.iterations());
    if (matched) {
        state.SkipWithError("a window matched");
    }
}

/// Without a window manager and with openbox, by the wall clock.
void withAndWithoutWindowManager(benchmark::internal::Benchmark *bench) {
    bench->ArgName("openbox")
        ->Arg(0)
        ->Arg(1)
        ->Unit(benchmark::kMillisecond)
        ->MinTime(2.0)
        ->UseRealTime();
}

BENCHMARK(BM_KillWinSweep)->Apply(withAndWithoutWindowManager);
BENCHMARK(BM_KillWinSweepAfterChange)->Apply(withAndWithoutWindowManager);

} // namespace

BENCHMARK_MAIN();
