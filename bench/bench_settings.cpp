// The cost of the main window's re-read on activation: every key it reads,
// from a settings file with all eight slots configured.

#include "core/ini_file.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

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

void BM_ActivationReRead(benchmark::State &state) {
    const auto file = writeFullSettings();
    const auto keys = activationKeys();
    for (auto _ : state) {
        for (const auto &k : keys) {
            benchmark::DoNotOptimize(RWINI1::ReadIni(k.section, k.key, file));
        }
    }
    state.counters["keys"] = static_cast<double>(keys.size());
    std::filesystem::remove_all(file.parent_path());
}
BENCHMARK(BM_ActivationReRead)->Unit(benchmark::kMicrosecond);

void BM_WriteOneKey(benchmark::State &state) {
    const auto file = writeFullSettings();
    int i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(RWINI1::WriteIni("exe3", "timer", std::to_string(i++), file));
    }
    std::filesystem::remove_all(file.parent_path());
}
BENCHMARK(BM_WriteOneKey)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
