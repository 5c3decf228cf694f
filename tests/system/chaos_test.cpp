// Chaos: the real binary keeps eight programs up while a killer shoots them at
// random. Every kill gets one restart and one log entry, and Perstando's own
// descriptors, children and memory stay where they were.
// PERSTANDO_CHAOS_SECONDS sets the length (scripts/soak runs it for 30 minutes),
// PERSTANDO_CHAOS_SEED repeats a run.

#include "tests/support/process_stats.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <array>
#include <iostream>
#include <map>
#include <random>
#include <sstream>
#include <thread>

using namespace testing_support;

namespace {

constexpr int Slots = 8;

std::vector<std::string> linesOf(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

/// The log read line by line: the start line and complete restart entries are
/// all it may hold. Counts the entries of each slot name; `errors` says where
/// a line does not fit.
struct ParsedLog {
    std::map<std::string, int> restarts;
    int startLines = 0;
    std::vector<std::string> errors;
};

bool isTimestamp(const std::string &text) {
    return !text.empty() && text.find(',') == std::string::npos &&
           text.find_first_of("0123456789") != std::string::npos;
}

ParsedLog parseLog(const std::string &text, const std::vector<std::string> &names) {
    ParsedLog parsed;
    const auto lines = linesOf(text);
    const std::string started = ", Tenacor has been started.";
    const std::string restarted = " has been restarted.";
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string &line = lines[i];
        auto fail = [&](const std::string &why) {
            parsed.errors.push_back("line " + std::to_string(i + 1) + " (" + why + "): " + line);
        };
        if (line.ends_with(started)) {
            if (!isTimestamp(line.substr(0, line.size() - started.size()))) {
                fail("start line without a timestamp");
            }
            ++parsed.startLines;
            continue;
        }
        const bool row = (line.size() == 53 || line.size() == 54) &&
                         line.find_first_not_of('*') == std::string::npos;
        if (!row || i + 2 >= lines.size() || lines[i + 2] != line) {
            fail("neither a start line nor a whole restart entry");
            continue;
        }
        const std::string &middle = lines[i + 1];
        const auto comma = middle.find(',');
        bool matched = false;
        for (std::size_t slot = 0; slot < names.size() && !matched; ++slot) {
            if (comma == std::string::npos || !isTimestamp(middle.substr(0, comma)) ||
                middle.substr(comma + 1) != names[slot] + restarted) {
                continue;
            }
            matched = true;
            if (line.size() != (slot == 0 ? 54u : 53u)) {
                fail("rows of the wrong length for " + names[slot]);
            }
            ++parsed.restarts[names[slot]];
        }
        if (!matched) {
            fail("unknown entry: " + middle);
        }
        i += 2;
    }
    return parsed;
}

/// The pid of the one running copy of `exe` once it has recorded its start as
/// start number `starts`, else -1. Counting the starts keeps a copy that got
/// a recycled pid from passing for one recorded earlier.
pid_t recordedPid(const std::filesystem::path &exe, int starts) {
    const auto pids = pidsOf(exe);
    if (pids.size() != 1) {
        return -1;
    }
    const auto lines = linesOf(readFile(exe.string() + ".starts"));
    const std::string record = "pid=" + std::to_string(pids[0]) + " ";
    if (static_cast<int>(lines.size()) != starts || !lines.back().starts_with(record)) {
        return -1;
    }
    return pids[0];
}

TEST(Chaos, EightSlotsSurviveRandomKills) {
    const auto duration = std::chrono::seconds(environmentNumber("PERSTANDO_CHAOS_SECONDS", 120));
    // Memory is compared from the end of the first minute; a short run skips a third.
    const auto warmUp = std::min<std::chrono::milliseconds>(std::chrono::minutes(1), duration / 3);
    const auto seed = static_cast<std::uint32_t>(
        environmentNumber("PERSTANDO_CHAOS_SEED", static_cast<long>(std::random_device{}())));
    std::cout << "chaos: " << duration.count() << " s, seed " << seed << std::endl;
    std::mt19937 random(seed);

    TempDir folder;
    copyPerstando(folder.path());
    std::vector<std::string> names;
    std::vector<std::filesystem::path> programs;
    std::string settings;
    for (int n = 1; n <= Slots; ++n) {
        names.push_back("Chaos " + std::to_string(n));
        programs.push_back(copyExecutable(WATCHED_PROGRAM, folder.path(), uniqueName("chaos")));
        settings += "[exe" + std::to_string(n) + "]\nname=" + names.back() +
                    "\npath=" + programs.back().string() + "\ntimer=100\n";
    }
    const auto log = folder / "watch.log";
    writeFile(folder / "settings.ini", settings + "[log]\npath=" + log.string() + "\n");

    Child perstando({(folder / "perstando").string()}, folder.path(),
                    {"QT_QPA_PLATFORM=offscreen"});
    const pid_t pid = perstando.pid();
    for (const auto &exe : programs) {
        ASSERT_TRUE(waitUntil([&] { return recordedPid(exe, 1) > 0; }, std::chrono::seconds(30)))
            << exe << " was never started";
    }
    // Descriptors and children as they are with everything up; a probe or a
    // log write in flight may hold one for a moment, so take the least of a
    // second's samples.
    int startDescriptors = openDescriptors(pid);
    for (int i = 0; i < 20; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        startDescriptors = std::min(startDescriptors, openDescriptors(pid));
    }
    const int startZombies = zombieChildren(pid);

    std::array<int, Slots> kills{};
    std::uniform_int_distribution<int> gap(50, 500);
    std::uniform_int_distribution<int> pick(0, Slots - 1);
    const auto begin = std::chrono::steady_clock::now();
    long memoryAtWarmUp = -1;
    long memoryPeak = 0;
    while (std::chrono::steady_clock::now() - begin < duration) {
        // The gap is the workload's pace, not a wait for anything.
        std::this_thread::sleep_for(std::chrono::milliseconds(gap(random)));
        ASSERT_TRUE(perstando.running()) << "Perstando ended during the run";
        const int slot = pick(random);
        const pid_t victim = recordedPid(programs[static_cast<std::size_t>(slot)],
                                         1 + kills[static_cast<std::size_t>(slot)]);
        if (victim > 0 && ::kill(victim, SIGKILL) == 0) {
            ++kills[static_cast<std::size_t>(slot)];
        }
        const long memory = residentKiB(pid);
        if (std::chrono::steady_clock::now() - begin >= warmUp) {
            if (memoryAtWarmUp < 0) {
                memoryAtWarmUp = memory;
            }
            memoryPeak = std::max(memoryPeak, memory);
        }
    }

    // Every program is back, each start recorded once.
    for (std::size_t slot = 0; slot < programs.size(); ++slot) {
        const auto &exe = programs[slot];
        EXPECT_TRUE(waitUntil([&] { return recordedPid(exe, 1 + kills[slot]) > 0; }))
            << names[slot] << " is down or was started more than once";
        EXPECT_EQ(static_cast<int>(linesOf(readFile(exe.string() + ".starts")).size()),
                  1 + kills[slot])
            << names[slot] << ": one start at first and one per kill";
    }
    // One entry per start; the log parses line by line.
    int totalKills = 0;
    for (const int k : kills) {
        totalKills += k;
    }
    ParsedLog parsed;
    waitUntil([&] {
        parsed = parseLog(readFile(log), names);
        int entries = 0;
        for (const auto &[name, count] : parsed.restarts) {
            entries += count;
        }
        return entries >= Slots + totalKills;
    });
    EXPECT_TRUE(parsed.errors.empty()) << parsed.errors.front();
    EXPECT_EQ(parsed.startLines, 1);
    for (std::size_t slot = 0; slot < names.size(); ++slot) {
        EXPECT_EQ(parsed.restarts[names[slot]], 1 + kills[slot]) << names[slot];
    }
    EXPECT_GT(totalKills, static_cast<int>(duration.count()));

    // Fewer is no fault: start-up may still have held one of its own.
    EXPECT_TRUE(waitUntil([&] { return openDescriptors(pid) <= startDescriptors; }))
        << "descriptors: " << startDescriptors << " at start, " << openDescriptors(pid) << " now";
    EXPECT_EQ(zombieChildren(pid), startZombies);
    std::cout << "chaos: " << totalKills << " kills; " << startDescriptors
              << " descriptors; resident memory " << memoryAtWarmUp
              << " KiB after the warm-up, at most " << memoryPeak << " KiB after it" << std::endl;
#ifndef PERSTANDO_SANITIZED
    EXPECT_LT(memoryPeak - memoryAtWarmUp, 5 * 1024) << "resident memory grew";
#endif

    perstando.stop(SIGKILL);
    for (const auto &exe : programs) {
        killAll(exe);
    }
}

} // namespace
