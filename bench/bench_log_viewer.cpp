// Opening the log viewer on a log of 19.9 MB, just under the largest it
// accepts: the time until the window has painted its text, until the whole log
// is in the view, and the memory it took. Written as one line (argument 0), or
// as entries of ordinary lines (1); run one at a time for the memory.

#include "core/program_folder.h"
#include "viewers/log_viewer.h"

#include <QApplication>
#include <QElapsedTimer>
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <sys/resource.h>
#include <unistd.h>

namespace {

long peakResidentKiB() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

void BM_OpenLog(benchmark::State &state) {
    char dir[] = "/tmp/perstando-bench-XXXXXX";
    const std::filesystem::path folder = ::mkdtemp(dir);
    const auto log = folder / "perstando.log";
    {
        constexpr std::size_t size = 19'900'000;
        std::ofstream out(log, std::ios::binary);
        if (state.range(0) == 0) {
            out << "1/15/2004 3:07:12 PM," << std::string(size, 'V');
        } else {
            const std::string entry = std::string(53, '*') +
                                      "\n1/15/2004 3:07:12 PM,Order entry has been restarted.\n" +
                                      std::string(53, '*') + "\n";
            for (std::size_t written = 0; written + entry.size() <= size; written += entry.size()) {
                out << entry;
            }
        }
    }
    std::ofstream(folder / "settings.ini") << "[log]\npath=" << log.string() << "\n";
    core::setProgramFolderOverride(folder.string());

    const long before = peakResidentKiB();
    double loadedMs = 0;
    for (auto _ : state) {
        QElapsedTimer clock;
        clock.start();
        auto *viewer = new LogViewer();
        viewer->show();
        benchmark::DoNotOptimize(viewer->grab()); // open: laid out and painted
        state.PauseTiming();
        while (viewer->isLoading()) {
            QApplication::processEvents();
        }
        loadedMs += static_cast<double>(clock.nsecsElapsed()) / 1e6;
        delete viewer;
        QApplication::processEvents();
        state.ResumeTiming();
    }
    // Time reports the opening; this, until the whole log is in the view.
    state.counters["loaded_ms"] = loadedMs / static_cast<double>(state.iterations());
    state.counters["peak_rss_growth_MB"] = static_cast<double>(peakResidentKiB() - before) / 1024.0;
    core::setProgramFolderOverride({});
    std::filesystem::remove_all(folder);
}
BENCHMARK(BM_OpenLog)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace

int main(int argc, char **argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
