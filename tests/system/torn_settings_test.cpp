// Saves killed with SIGKILL at random moments never tear the settings file:
// after every kill it parses line by line and each key holds its value from
// before the save or the one the save was writing.
// PERSTANDO_TORN_KILLS sets the number of kills (scripts/soak runs many).

#include "core/ini_file.h"
#include "tests/support/process_stats.h"
#include "tests/support/settings_writer.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <cmath>
#include <iostream>
#include <random>
#include <sstream>
#include <thread>

using namespace testing_support;

namespace {

/// Every line is blank, a comment, a section header or a key=value pair.
std::string firstUnparsedLine(const std::string &text) {
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        const bool header = line.size() >= 2 && line.front() == '[' && line.back() == ']';
        const auto eq = line.find('=');
        const bool comment = line.starts_with(";");
        if (!line.empty() && !header && !comment && (eq == std::string::npos || eq == 0)) {
            return line;
        }
    }
    return {};
}

/// The writer saves all keys in order, round after round, each round one
/// higher than the last key held when it began. After a kill the keys must
/// hold round R up to some key and the round before it from there on, where
/// "the round before" is the old value when R is the first new round. Returns
/// the first key that breaks this, or -1.
int tornAt(const std::vector<int> &before, const std::vector<int> &after) {
    if (after == before) {
        return -1; // killed before its first write landed
    }
    const int round = after.front();
    const int firstNew = before.back() + 1;
    if (round < firstNew) {
        return 0;
    }
    std::size_t k = 0;
    while (k < after.size() && after[k] == round) {
        ++k;
    }
    for (; k < after.size(); ++k) {
        if (after[k] != (round == firstNew ? before[k] : round - 1)) {
            return static_cast<int>(k);
        }
    }
    return -1;
}

TEST(TornSettings, KilledSavesLeaveEveryKeyOldOrNew) {
    const long kills = environmentNumber("PERSTANDO_TORN_KILLS", 40);
    const auto seed = static_cast<std::uint32_t>(
        environmentNumber("PERSTANDO_TORN_SEED", static_cast<long>(std::random_device{}())));
    std::cout << "torn settings: " << kills << " kills, seed " << seed << std::endl;
    std::mt19937 random(seed);
    // From 1 ms to 1 s, evenly on a log scale: most kills land early in a
    // save, some after whole saves.
    std::uniform_real_distribution<double> logDelay(0, std::log(1000.0));

    TempDir folder;
    const auto writer = copyExecutable(SETTINGS_WRITER, folder.path(), "perstando");
    const auto settings = folder / "settings.ini";
    // A file with comments and foreign keys that every save must keep.
    const std::string foreign = "; kept by every save\n[log]\npath=/var/log/watch.log\n";
    writeFile(settings, foreign);

    const auto keys = savedKeys();
    std::vector<int> before(keys.size(), 0);
    int midRound = 0;
    for (long kill = 0; kill < kills; ++kill) {
        Child child({writer.string()}, folder.path());
        // The delay is where the kill lands, not a wait for anything.
        std::this_thread::sleep_for(
            std::chrono::microseconds(static_cast<long>(1000 * std::exp(logDelay(random)))));
        child.stop(SIGKILL);

        const std::string text = readFile(settings);
        ASSERT_EQ(firstUnparsedLine(text), "") << "after kill " << kill;
        ASSERT_TRUE(text.starts_with(foreign)) << "after kill " << kill;
        std::vector<int> after(keys.size());
        for (std::size_t k = 0; k < keys.size(); ++k) {
            const auto value = ini::readValue(keys[k].section, keys[k].key, settings);
            after[k] = roundOf(keys[k], value);
            ASSERT_GE(after[k], 0) << "after kill " << kill << ", " << keys[k].section << "/"
                                   << keys[k].key << " holds \"" << value << "\"";
        }
        ASSERT_EQ(tornAt(before, after), -1)
            << "after kill " << kill << ", rounds before: " << ::testing::PrintToString(before)
            << ", after: " << ::testing::PrintToString(after);
        if (after.front() != after.back()) {
            ++midRound;
        }
        before = after;
    }
    std::cout << "torn settings: " << midRound << " kills fell inside a save, the last at round "
              << before.front() << std::endl;
    EXPECT_GT(midRound, 0) << "no kill fell between the first and the last key of a save";
    // Temporary files of killed saves may stay beside it; they never replace it.
    int leftovers = 0;
    for (const auto &entry : std::filesystem::directory_iterator(folder.path())) {
        leftovers += entry.path().filename().string().starts_with(".settings.ini.") ? 1 : 0;
    }
    std::cout << "torn settings: " << leftovers << " temporary files left by killed saves"
              << std::endl;
}

} // namespace
