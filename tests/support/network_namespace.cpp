#include "tests/support/network_namespace.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace testing_support {

RunResult runCaptured(const std::vector<std::string> &argv) {
    RunResult result;
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        return result;
    }
    std::vector<char *> args;
    for (const auto &a : argv) {
        args.push_back(const_cast<char *>(a.c_str()));
    }
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (rc == 0) {
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0) {
            result.output.append(buffer, static_cast<std::size_t>(n));
        }
        ::waitpid(pid, &result.status, 0);
    }
    ::close(pipeFds[0]);
    return result;
}

const std::vector<std::string> &withoutNetwork() {
    static const std::vector<std::string> prefix = [] {
        std::vector<std::string> words = {"unshare", ::geteuid() == 0 ? "-n" : "-rn"};
        auto probe = words;
        probe.emplace_back("true");
        const auto run = runCaptured(probe);
        if (!WIFEXITED(run.status) || WEXITSTATUS(run.status) != 0) {
            words.clear();
        }
        return words;
    }();
    return prefix;
}

} // namespace testing_support
