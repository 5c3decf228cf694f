// The real binary in a temporary program folder.

#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <chrono>
#include <filesystem>

using namespace testing_support;

namespace {

class Startup : public ::testing::Test {
protected:
    void SetUp() override {
        binary_ = copyPerstando(folder_.path());
        log_ = folder_ / "watch.log";
        writeFile(folder_ / "settings.ini", "[log]\npath=" + log_.string() + "\n");
    }
    Child startPerstando() {
        return Child({binary_.string()}, folder_.path(), {"QT_QPA_PLATFORM=offscreen"});
    }
    static int countOf(const std::string &text, const std::string &needle) {
        int count = 0;
        for (auto pos = text.find(needle); pos != std::string::npos;
             pos = text.find(needle, pos + 1)) {
            ++count;
        }
        return count;
    }
    TempDir folder_;
    std::filesystem::path binary_;
    std::filesystem::path log_;
};

TEST_F(Startup, WritesOneStartLineAndASecondCopyEndsAtOnce) {
    Child first = startPerstando();
    ASSERT_TRUE(
        waitUntil([&] { return countOf(readFile(log_), "Tenacor has been started.") == 1; }));

    Child second = startPerstando();
    const int status = second.waitExit(std::chrono::seconds(10));
    ASSERT_NE(status, -1) << "the second copy kept running";
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(countOf(readFile(log_), "Tenacor has been started."), 1);
    EXPECT_TRUE(first.running());
}

TEST_F(Startup, ClearsTheLeftoversOfASaveCutShort) {
    const auto leftover = folder_ / ".settings.ini.k1LLed";
    writeFile(leftover, "[exe1]\nname=half");
    std::filesystem::last_write_time(leftover, std::filesystem::file_time_type::clock::now() -
                                                   std::chrono::hours(1));
    Child perstando = startPerstando();
    ASSERT_TRUE(waitUntil([&] { return countOf(readFile(log_), "has been started") == 1; }));
    EXPECT_FALSE(std::filesystem::exists(leftover));
    EXPECT_TRUE(std::filesystem::exists(folder_ / "settings.ini"));
}

TEST_F(Startup, CopiesInDifferentFoldersRunSideBySide) {
    TempDir other;
    const auto otherBinary = copyPerstando(other.path());
    const auto otherLog = other / "watch.log";
    writeFile(other / "settings.ini", "[log]\npath=" + otherLog.string() + "\n");
    Child first = startPerstando();
    Child second({otherBinary.string()}, other.path(), {"QT_QPA_PLATFORM=offscreen"});
    EXPECT_TRUE(waitUntil([&] { return countOf(readFile(log_), "has been started") == 1; }));
    EXPECT_TRUE(waitUntil([&] { return countOf(readFile(otherLog), "has been started") == 1; }));
}

} // namespace
