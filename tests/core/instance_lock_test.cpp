#include "core/instance_lock.h"
#include "tests/support/scoped_env.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

using namespace testing_support;

bool lockableInChild(const std::string &folder, bool bareEnvironment = false) {
    const pid_t child = ::fork();
    if (child == 0) {
        if (bareEnvironment) { // as from cron: no session, no temporary folder named
            ::unsetenv("XDG_RUNTIME_DIR");
            ::unsetenv("TMPDIR");
        }
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

// A copy started from the desktop session and one started from cron must
// still see each other.
TEST(InstanceLock, CopiesFromDifferentEnvironmentsMeet) {
    TempDir program;
    TempDir runtime;
    TempDir temporary;
    ::chmod(runtime.path().c_str(), 0700);
    ScopedEnv session("XDG_RUNTIME_DIR", runtime.path().string());
    ScopedEnv tmp("TMPDIR", temporary.path().string());
    core::InstanceLock lock;
    ASSERT_TRUE(lock.tryAcquire(program.path().string()));
    EXPECT_FALSE(lockableInChild(program.path().string(), true));
}

/// Binds the abstract socket name every account could once bind for `key`.
int bindOldName(const std::string &key) {
    std::uint64_t hash = 14695981039346656037ull;
    for (const unsigned char c : std::filesystem::weakly_canonical(key).string()) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    char name[64];
    const int len = std::snprintf(name, sizeof name, "perstando-%016llx",
                                  static_cast<unsigned long long>(hash));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path + 1, name, static_cast<std::size_t>(len));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + len);
    return ::bind(fd, reinterpret_cast<const sockaddr *>(&addr), size) == 0 ? fd : -1;
}

// Another account squats the lock names it can reach: the old abstract name,
// our folder in the temporary folder, and a lock of its own, for Perstando and
// for the companion. Neither counts as a copy of ours.
TEST(InstanceLock, AnotherAccountCannotStandInForOurCopy) {
    const passwd *nobody = ::getpwnam("nobody");
    if (::geteuid() != 0 || !nobody) {
        GTEST_SKIP() << "needs root to act as another account";
    }
    TempDir base;
    std::filesystem::permissions(base.path(), std::filesystem::perms::owner_all |
                                                  std::filesystem::perms::group_exec |
                                                  std::filesystem::perms::others_exec);
    std::filesystem::create_directory(base / "tmp");
    ::chmod((base / "tmp").c_str(), 01777);
    std::filesystem::create_directory(base / "program");
    const std::string folder = (base / "program").string();
    const auto linkmind = copyExecutable(LINKMIND_BINARY, base / "program", "linkmind");
    ScopedEnv runtime("XDG_RUNTIME_DIR", "");
    ScopedEnv temporary("TMPDIR", (base / "tmp").string());
    ScopedEnv cache("XDG_CACHE_HOME", (base / "cache").string());

    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t squatter = ::fork();
    if (squatter == 0) {
        if (::setgroups(0, nullptr) != 0 ||
            ::setresgid(nobody->pw_gid, nobody->pw_gid, nobody->pw_gid) != 0 ||
            ::setresuid(nobody->pw_uid, nobody->pw_uid, nobody->pw_uid) != 0) {
            ::_exit(1);
        }
        const auto ours = base / "tmp" / "perstando-0";
        ::mkdir(ours.c_str(), 0777);
        ::chmod(ours.c_str(), 0777);
        core::InstanceLock own;
        if (!own.tryAcquire(folder)) {
            ::_exit(2);
        }
        bindOldName(folder); // unless the lock of its own is that name already
        [[maybe_unused]] const auto n = ::write(ready[1], "r", 1);
        ::pause();
        ::_exit(0);
    }
    ::close(ready[1]);
    char byte = 0;
    const bool squatting = ::read(ready[0], &byte, 1) == 1;
    ::close(ready[0]);
    Child othersCompanion({"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup",
                           "--clear-groups", linkmind.string()});
    const bool companionSettled = waitUntil([&] { return holdsASocket(othersCompanion.pid()); });

    {
        core::InstanceLock lock;
        EXPECT_TRUE(squatting);
        EXPECT_TRUE(lock.tryAcquire(folder));
        EXPECT_FALSE(lockableInChild(folder)) << "a second copy of ours must still end";
    }
    EXPECT_TRUE(companionSettled);
    Child companion({linkmind.string()});
    EXPECT_TRUE(waitUntil([&] { return holdsASocket(companion.pid()) || !companion.running(); }));
    EXPECT_TRUE(companion.running()) << "our companion ended, taking the other's for its own";
    Child second({linkmind.string()});
    EXPECT_NE(second.waitExit(std::chrono::seconds(10)), -1) << "a second companion kept running";

    ::kill(squatter, SIGKILL);
    ::waitpid(squatter, nullptr, 0);
}

} // namespace
