#pragma once
// A test with a program folder of its own, copies of the watched program in
// it and the watchdog that watches them; all of it gone at the end.

#include "core/program_folder.h"
#include "engine/slot_watcher.h"
#include "engine/watchdog.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

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

} // namespace testing_support
