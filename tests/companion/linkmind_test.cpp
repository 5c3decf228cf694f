// The keep-up companion as it runs: one copy, clean ends, and NetworkManager
// asked to switch networking on when there is no connection.

#include "tests/support/network_namespace.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

using namespace testing_support;

namespace {

bool endedCleanly(int status) {
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

class Linkmind : public ::testing::Test {
protected:
    // A copy of its own, so no other run's companion holds the lock.
    void SetUp() override { binary_ = copyExecutable(LINKMIND_BINARY, folder_.path(), "linkmind"); }
    TempDir folder_;
    std::filesystem::path binary_;
};

TEST_F(Linkmind, OneCopyRunsAndSignalsEndItCleanly) {
    Child first({binary_.string()});
    // It holds SIGTERM back until it holds its lock, a socket.
    ASSERT_TRUE(waitUntil([&] { return holdsASocket(first.pid()); }));

    Child second({binary_.string()});
    EXPECT_TRUE(endedCleanly(second.waitExit(std::chrono::seconds(10))))
        << "a second copy must leave at once, without an error";
    EXPECT_TRUE(first.running());

    EXPECT_TRUE(endedCleanly(first.stop(SIGTERM)));

    Child third({binary_.string()});
    ASSERT_TRUE(waitUntil([&] { return holdsASocket(third.pid()); }))
        << "the lock goes with the copy that held it";
    EXPECT_TRUE(endedCleanly(third.stop(SIGINT)));
}

TEST_F(Linkmind, WithoutAConnectionAsksNetworkManagerToSwitchNetworkingOn) {
    if (withoutNetwork().empty()) {
        GTEST_SKIP() << "no network namespace can be made here";
    }
    const auto calls = folder_ / "nmcli-calls";
    const auto fakeBin = folder_ / "bin";
    std::filesystem::create_directory(fakeBin);
    writeFile(fakeBin / "nmcli", "#!/bin/sh\necho \"$*\" >> '" + calls.string() + "'\n");
    std::filesystem::permissions(fakeBin / "nmcli", std::filesystem::perms::owner_all);

    std::vector<std::string> argv = {"/usr/bin/env",
                                     "PATH=" + fakeBin.string() + ":/usr/sbin:/usr/bin:/sbin:/bin"};
    argv.insert(argv.end(), withoutNetwork().begin(), withoutNetwork().end());
    argv.push_back(binary_.string());
    Child companion(argv);
    EXPECT_TRUE(waitUntil([&] { return readFile(calls) == "networking on\n"; })) << readFile(calls);
    EXPECT_TRUE(endedCleanly(companion.stop(SIGTERM)));
}

} // namespace
