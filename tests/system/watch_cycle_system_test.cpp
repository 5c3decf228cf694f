// Three watched programs killed under the real binary: each comes back in its
// working directory within its interval, with one restart entry per kill.

#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sstream>

using namespace testing_support;

namespace {

int countLines(const std::string &text, const std::string &line) {
    int count = 0;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) {
        count += l == line ? 1 : 0;
    }
    return count;
}

/// Number of restart entries of `name` whose rows are `rowLength` asterisks.
int restartEntries(const std::string &log, const std::string &name, std::size_t rowLength) {
    std::istringstream in(log);
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);) {
        lines.push_back(l);
    }
    const std::string row(rowLength, '*');
    const std::string tail = "," + name + " has been restarted.";
    int count = 0;
    for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
        const auto &l = lines[i];
        if (l.size() > tail.size() && l.compare(l.size() - tail.size(), tail.size(), tail) == 0) {
            EXPECT_EQ(lines[i - 1], row) << name;
            EXPECT_EQ(lines[i + 1], row) << name;
            ++count;
        }
    }
    return count;
}

TEST(WatchCycleSystem, KilledProgramsComeBackInTheirFoldersWithOneEntryPerKill) {
    TempDir folder;
    copyPerstando(folder.path());
    struct Watched {
        std::string name;
        std::filesystem::path exe;
        std::filesystem::path workdir;
        int interval;
    };
    std::vector<Watched> watched;
    std::string settings;
    for (int n = 1; n <= 3; ++n) {
        Watched w;
        w.name = "Program " + std::to_string(n);
        w.exe = copyExecutable(WATCHED_PROGRAM, folder.path(), uniqueName("watched"));
        w.workdir = folder / ("work dir " + std::to_string(n));
        std::filesystem::create_directory(w.workdir);
        w.interval = 150 + 100 * n;
        settings += "[exe" + std::to_string(n) + "]\nname=" + w.name + "\npath=" + w.exe.string() +
                    "\ntimer=" + std::to_string(w.interval) + "\n[workingexe" + std::to_string(n) +
                    "]\npath" + std::to_string(n) + "=" + w.workdir.string() + "\n";
        watched.push_back(w);
    }
    const auto log = folder / "watch.log";
    settings += "[log]\npath=" + log.string() + "\n";
    writeFile(folder / "settings.ini", settings);

    Child perstando({(folder / "perstando").string()}, folder.path(),
                    {"QT_QPA_PLATFORM=offscreen"});
    for (const auto &w : watched) {
        ASSERT_TRUE(waitUntil([&] { return pidsOf(w.exe).size() == 1; })) << w.name;
    }
    for (int round = 0; round < 2; ++round) {
        for (const auto &w : watched) {
            const pid_t old = pidsOf(w.exe).at(0);
            ::kill(old, SIGKILL);
            const auto margin = std::chrono::milliseconds(w.interval + 3000);
            ASSERT_TRUE(waitUntil(
                [&] {
                    const auto pids = pidsOf(w.exe);
                    return pids.size() == 1 && pids[0] != old;
                },
                margin))
                << w.name << " was not restarted";
            EXPECT_EQ(cwdOf(pidsOf(w.exe).at(0)), w.workdir);
        }
    }
    // Let a few more ticks find them running: no further entries.
    const auto settle = std::chrono::milliseconds(1200);
    waitUntil([] { return false; }, settle);
    const auto text = readFile(log);
    for (std::size_t i = 0; i < watched.size(); ++i) {
        // The first start (the program was not running yet) plus one per kill.
        EXPECT_EQ(restartEntries(text, watched[i].name, i == 0 ? 54 : 53), 3) << watched[i].name;
        EXPECT_EQ(pidsOf(watched[i].exe).size(), 1u);
    }
    EXPECT_EQ(countLines(text, ""), 0);
    perstando.stop(SIGKILL);
    for (const auto &w : watched) {
        killAll(w.exe);
    }
}

} // namespace
