// One slot tick of a running program as the watch cycle spent it before the
// slot remembered its process: the settings read plus the walk of its probe.

#include "core/ini_file.h"
#include "core/process_probe.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace {

std::filesystem::path settingsNamingThisProcess(std::string &program) {
    char dir[] = "/tmp/perstando-bench-XXXXXX";
    const std::filesystem::path folder = ::mkdtemp(dir);
    program = std::filesystem::read_symlink("/proc/self/exe").filename().string();
    std::ofstream(folder / "settings.ini")
        << "[exe1]\nname=Bench\npath=" << program
        << "\ntimer=1000\n[exe2]\nname=Bench\npath=" << program << "\ntimer=1000\n";
    return folder / "settings.ini";
}

void BM_SlotOneTick(benchmark::State &state) {
    std::string program;
    const auto file = settingsNamingThisProcess(program);
    for (auto _ : state) {
        const auto value = ini::readValue("exe1", "path", file);
        benchmark::DoNotOptimize(ini::readValue("exe1", "path", file)); // the setup field
        benchmark::DoNotOptimize(processes::findByName(value));
    }
    std::filesystem::remove_all(file.parent_path());
}
BENCHMARK(BM_SlotOneTick)->Unit(benchmark::kMicrosecond);

void BM_SlotTwoTick(benchmark::State &state) {
    std::string program;
    const auto file = settingsNamingThisProcess(program);
    for (auto _ : state) {
        const auto value = ini::readValue("exe2", "path", file);
        benchmark::DoNotOptimize(processes::isRunning(value));
    }
    std::filesystem::remove_all(file.parent_path());
}
BENCHMARK(BM_SlotTwoTick)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
