#include "core/instance_lock.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

namespace {

bool lockableInChild(const std::string &folder) {
    const pid_t child = ::fork();
    if (child == 0) {
        core::InstanceLock lock;
        ::_exit(lock.tryAcquire(folder) ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(InstanceLock, OneHolderPerFolderReleasedWithTheHolder) {
    testing_support::TempDir a;
    testing_support::TempDir b;
    {
        core::InstanceLock lock;
        ASSERT_TRUE(lock.tryAcquire(a.path().string()));
        EXPECT_FALSE(lockableInChild(a.path().string()));
        EXPECT_FALSE(lockableInChild(a.path().string() + "/"));
        EXPECT_TRUE(lockableInChild(b.path().string()));
    }
    EXPECT_TRUE(lockableInChild(a.path().string()));
}

} // namespace
