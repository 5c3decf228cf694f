#pragma once
// A test with a program folder of its own, copies of the watched program in
// it and the watchdog that watches them; all of it gone at the end.

#include "core/child_reaper.h"
#include "core/program_folder.h"
#include "engine/slot_watcher.h"
#include "engine/watchdog.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <csignal>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace testing_support {

class ProgramFolderTest : public ::testing::Test {
protected:
    void SetUp() override { core::setProgramFolderOverride(folder_.path().string()); }
    void TearDown() override {
        watchdog_.reset();
        for (const auto &exe : programs_) {
            killAll(exe);
        }
        core::setProgramFolderOverride({});
    }
    /// A copy of the watched program; with `mode`, in that mode.
    std::filesystem::path program(const std::string &stem, const std::string &mode = {}) {
        programs_.push_back(copyExecutable(WATCHED_PROGRAM, folder_.path(), uniqueName(stem)));
        if (!mode.empty()) {
            writeFile(programs_.back().string() + ".mode", mode + "\n");
        }
        return programs_.back();
    }
    /// A watchdog started on `settings`, which log to log().
    engine::SlotWatcher &start(const std::string &settings) {
        writeFile(folder_ / "settings.ini", settings + "[log]\npath=" + log().string() + "\n");
        watchdog_ = std::make_unique<engine::Watchdog>();
        watchdog_->start();
        return watchdog_->slotWatcher();
    }
    std::filesystem::path log() const { return folder_ / "watch.log"; }
    std::string logText() const { return readFile(log()); }

    TempDir folder_;
    std::unique_ptr<engine::Watchdog> watchdog_;
    std::vector<std::filesystem::path> programs_;
};

/// Whether `pid` is still in the process table, a zombie included.
inline bool inProcessTable(pid_t pid) {
    return std::filesystem::exists("/proc/" + std::to_string(pid));
}

/// Whether `pid` has ended and waits to be reaped.
inline bool isZombie(pid_t pid) {
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z';
}

/// Whether `pid` has ended: gone, or a zombie. Only then can it be reaped.
inline bool hasEnded(pid_t pid) {
    return !inProcessTable(pid) || isZombie(pid);
}

/// A program-folder test in which Perstando is the reaper of what it starts,
/// as its main makes it.
class ReapingFolderTest : public ProgramFolderTest {
protected:
    void SetUp() override {
        ProgramFolderTest::SetUp();
        ASSERT_TRUE(reaper::setChildSubreaper(true));
    }
    void TearDown() override {
        ProgramFolderTest::TearDown();
        reaper::setChildSubreaper(false);
    }
    /// Kills the program of slot 2 and lets the check restart it.
    void killAndCheck(engine::SlotWatcher &watcher, const std::filesystem::path &exe) {
        ASSERT_TRUE(waitUntil([&] { return pidsOf(exe).size() == 1; }));
        const pid_t pid = pidsOf(exe).front();
        ::kill(pid, SIGKILL);
        ASSERT_TRUE(waitUntil([&] { return hasEnded(pid); }));
        watcher.tick(2);
    }
};

} // namespace testing_support
