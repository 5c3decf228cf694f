// Saves killed with SIGKILL at random moments never tear the settings file:
// after every kill it parses line by line and every key of the save holds the
// value of the same round: all from before the save or all from it.
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

/// The writer saves all keys together, round after round, each round one
/// higher than the one before. After a kill every key must hold the same
/// round, and no earlier one than before the kill. Returns the first key that
/// breaks this, or -1.
int tornAt(const std::vector<int> &before, const std::vector<int> &after) {
    if (after.front() < before.front()) {
        return 0;
    }
    for (std::size_t k = 1; k < after.size(); ++k) {
        if (after[k] != after.front()) {
            return static_cast<int>(k);
        }
    }
    return -1;
}

TEST(TornSettings, KilledSavesLeaveAllKeysOfASaveOldOrAllNew) {
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
        before = after;
    }
    EXPECT_GT(before.front(), 0) << "no save reached the file";
    // A killed save leaves its temporary file beside the settings, never in
    // their place: each one is a kill that fell inside a save.
    int leftovers = 0;
    for (const auto &entry : std::filesystem::directory_iterator(folder.path())) {
        leftovers += entry.path().filename().string().starts_with(".settings.ini.") ? 1 : 0;
    }
    std::cout << "torn settings: " << leftovers << " kills fell inside a save, the last at round "
              << before.front() << std::endl;
    EXPECT_GT(leftovers, 0) << "no kill fell inside a save";
}

} // namespace
