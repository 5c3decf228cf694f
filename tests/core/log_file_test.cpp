#include "core/log_file.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

TEST(LogFile, AppendsWholeEntriesAndReportsFailures) {
    testing_support::TempDir dir;
    const auto log = (dir / "watch.log").string();
    ASSERT_TRUE(core::appendLogLines(log, {"one"}));
    ASSERT_TRUE(core::appendLogLines(log, {"***", "two \xC3\xA9", "***"}));
    EXPECT_EQ(testing_support::readFile(log), "one\n***\ntwo \xC3\xA9\n***\n");

    EXPECT_FALSE(core::appendLogLines("", {"lost"}));
    EXPECT_FALSE(core::appendLogLines((dir / "missing" / "watch.log").string(), {"lost"}));
}

TEST(LogFile, OnlyARegularFileIsALog) {
    testing_support::TempDir dir;
    // A FIFO with a reader: opening it would work, but it is no file to keep.
    const auto fifo = dir / "watch.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    EXPECT_FALSE(core::appendLogLines(fifo.string(), {"lost"}));
    char buffer[16];
    EXPECT_LE(::read(reader, buffer, sizeof buffer), 0) << "the entry went into the FIFO";
    ::close(reader);

    EXPECT_FALSE(core::appendLogLines("/dev/null", {"lost"}));
    EXPECT_FALSE(core::appendLogLines(dir.path().string(), {"lost"}));
    // A link to a regular file is followed.
    std::filesystem::create_symlink(dir / "real.log", dir / "link.log");
    EXPECT_TRUE(core::appendLogLines((dir / "link.log").string(), {"kept"}));
    EXPECT_EQ(testing_support::readFile(dir / "real.log"), "kept\n");
}

} // namespace
