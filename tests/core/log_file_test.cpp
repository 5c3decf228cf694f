#include "core/log_file.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

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

} // namespace
