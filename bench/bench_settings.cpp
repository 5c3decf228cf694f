// The cost of the re-read on activation and of a dialog's save, from a
// settings file with all eight slots configured: key by key as earlier versions
// did, and as the program does now (one read; one replace). The fsync counter
// counts the program's own flushes to disk.

#include "core/ini_file.h"
#include "core/program_folder.h"
#include "engine/settings.h"

#include <benchmark/benchmark.h>
#include <sys/syscall.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

long fsyncCalls = 0;

} // namespace

// Every fsync of the program passes here on its way to the kernel.
extern "C" int fsync(int fd) {
    ++fsyncCalls;
    return static_cast<int>(::syscall(SYS_fsync, fd));
}

namespace {

struct Key {
    std::string section;
    std::string key;
};

std::vector<Key> activationKeys() {
    std::vector<Key> keys{{"Startupmode", "InIconTray"}};
    for (int n = 1; n <= 8; ++n) {
        keys.push_back({"exe" + std::to_string(n), "name"});
        keys.push_back({"cmdline", "cmdexe" + std::to_string(n)});
        keys.push_back({"cmdline", "statusexe" + std::to_string(n)});
        keys.push_back({"exe" + std::to_string(n), "timer"});
        keys.push_back({"workingexe" + std::to_string(n), "path" + std::to_string(n)});
    }
    for (const char *k : {"visual", "Pop", "audio"}) {
        keys.push_back({"Alerts", k});
    }
    keys.push_back({"log", "path"});
    for (const char *k : {"Sendto", "port", "address", "server", "notification", "address"}) {
        keys.push_back({"mail", k});
    }
    for (const char *k : {"Monitor", "Restart", "Restartname", "alive"}) {
        keys.push_back({"Internet", k});
    }
    return keys;
}

std::filesystem::path writeFullSettings() {
    char dir[] = "/tmp/perstando-bench-XXXXXX";
    const std::filesystem::path folder = ::mkdtemp(dir);
    auto file = folder / "settings.ini";
    std::ofstream out(file);
    for (int n = 1; n <= 8; ++n) {
        out << "[exe" << n << "]\nname=Application " << n << "\npath=app" << n
            << ".bin\ntimer=1000\n[workingexe" << n << "]\npath" << n << "=/opt/app" << n << "\n";
    }
    out << "[cmdline]\n";
    for (int n = 1; n <= 8; ++n) {
        out << "cmdexe" << n << "=/usr/bin/pager " << n << "\nstatusexe" << n << "=On\n";
    }
    out << "[Alerts]\nvisual=On\naudio=Off\nPop=On\n[log]\npath=/var/log/perstando.log\n"
        << "[mail]\nSendto=a@example.org;b@example.org\nport=25\naddress=w@example.org\n"
        << "server=mail.example.org\nnotification=On\n[StartupMode]\nInIconTray=No\n"
        << "[internet]\nMonitor=On\nRestart=Off\nrestartname=dsl\nalive=Off\n";
    return file;
}

/// What earlier versions did on activation: each key read on its own.
void BM_ActivationReReadKeyByKey(benchmark::State &state) {
    const auto file = writeFullSettings();
    const auto keys = activationKeys();
    for (auto _ : state) {
        for (const auto &k : keys) {
            benchmark::DoNotOptimize(ini::readValue(k.section, k.key, file));
        }
    }
    state.counters["reads"] = static_cast<double>(keys.size());
    std::filesystem::remove_all(file.parent_path());
}
BENCHMARK(BM_ActivationReReadKeyByKey)->Unit(benchmark::kMicrosecond);

/// The activation now: the typed snapshot from one read of the file.
void BM_ActivationSnapshot(benchmark::State &state) {
    const auto file = writeFullSettings();
    core::setProgramFolderOverride(file.parent_path().string());
    for (auto _ : state) {
        benchmark::DoNotOptimize(settings::Snapshot::read());
    }
    state.counters["reads"] = 1;
    std::filesystem::remove_all(file.parent_path());
}
BENCHMARK(BM_ActivationSnapshot)->Unit(benchmark::kMicrosecond);

/// The setup dialog's save: name and program of eight slots, their folders,
/// the connection's name and three switches, the start mode.
std::vector<ini::Change> setupDialogSave(int round) {
    std::vector<ini::Change> changes;
    const std::string r = std::to_string(round);
    for (int n = 1; n <= 8; ++n) {
        const std::string slot = std::to_string(n);
        std::string name = "Application " + slot;
        name += " ";
        name += r;
        changes.push_back({"exe" + slot, "name", std::move(name)});
        changes.push_back({"exe" + slot, "path", "app" + slot + ".bin"});
    }
    for (int n = 1; n <= 8; ++n) {
        const std::string slot = std::to_string(n);
        std::string folder = "/opt/app" + slot;
        folder += "/";
        folder += r;
        changes.push_back({"workingexe" + slot, "path" + slot, std::move(folder)});
    }
    changes.push_back({"internet", "restartname", "dsl"});
    changes.push_back({"StartupMode", "InIconTray", "No"});
    for (const char *k : {"Monitor", "Restart", "alive"}) {
        changes.push_back({"Internet", k, "Off"});
    }
    return changes;
}

/// Saves the setup dialog's keys round after round with `save`, counting the
/// fsyncs per save.
template <class Save> void measureSave(benchmark::State &state, Save save) {
    const auto file = writeFullSettings();
    const long before = fsyncCalls;
    int round = 0;
    std::size_t keys = 0;
    for (auto _ : state) {
        const auto changes = setupDialogSave(round++);
        keys = changes.size();
        save(changes, file);
    }
    state.counters["keys"] = static_cast<double>(keys);
    state.counters["fsyncs"] = benchmark::Counter(static_cast<double>(fsyncCalls - before),
                                                  benchmark::Counter::kAvgIterations);
    std::filesystem::remove_all(file.parent_path());
}

/// What earlier versions did on a save: one replace of the file per key.
void BM_DialogSaveKeyByKey(benchmark::State &state) {
    measureSave(state, [](const std::vector<ini::Change> &changes, const auto &file) {
        for (const auto &c : changes) {
            benchmark::DoNotOptimize(ini::writeValue(c.section, c.key, c.value, file));
        }
    });
}
BENCHMARK(BM_DialogSaveKeyByKey)->Unit(benchmark::kMillisecond);

/// The save now: every key in one replace of the file.
void BM_DialogSaveOneReplace(benchmark::State &state) {
    measureSave(state, [](const std::vector<ini::Change> &changes, const auto &file) {
        benchmark::DoNotOptimize(ini::writeValues(changes, file));
    });
}
BENCHMARK(BM_DialogSaveOneReplace)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
