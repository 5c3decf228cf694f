// linkmind: keeps the internet connection up. Every 30 seconds it asks the
// connection probe; when there is no connection it asks NetworkManager to
// switch networking on. One copy runs per program folder; SIGTERM or SIGINT
// end it.

#include "core/connection_probe.h"
#include "core/instance_lock.h"

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

extern char **environ;

namespace {

constexpr auto CheckInterval = std::chrono::seconds(30);

/// `program` as found on PATH, if it is there and executable.
std::optional<std::string> onPath(const std::string &program) {
    const char *path = std::getenv("PATH");
    std::string_view rest = path ? path : "";
    while (true) {
        const auto colon = rest.find(':');
        std::string folder(rest.substr(0, colon));
        if (folder.empty()) {
            folder = ".";
        }
        const std::string candidate = folder.append("/").append(program);
        struct stat info {};
        if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
            ::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        if (colon == std::string_view::npos) {
            return std::nullopt;
        }
        rest.remove_prefix(colon + 1);
    }
}

/// Starts `nmcli networking on` directly, with the signals this program
/// holds back handed to it as usual. The pid, or -1 when it did not start.
pid_t switchNetworkingOn(const sigset_t &heldSignals) {
    const auto nmcli = onPath("nmcli");
    if (!nmcli) {
        std::fprintf(stderr, "linkmind: no connection, and nmcli is not on PATH\n");
        return -1;
    }
    std::fprintf(stderr, "linkmind: no connection, switching networking on\n");
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &heldSignals);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    char arg0[] = "nmcli";
    char arg1[] = "networking";
    char arg2[] = "on";
    char *argv[] = {arg0, arg1, arg2, nullptr};
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, nmcli->c_str(), nullptr, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    return rc == 0 ? pid : -1;
}

timespec until(std::chrono::steady_clock::time_point when) {
    const auto left = std::max(when - std::chrono::steady_clock::now(),
                               std::chrono::steady_clock::duration::zero());
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
    const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds);
    return {static_cast<time_t>(seconds.count()), static_cast<long>(nanoseconds.count())};
}

} // namespace

int main() {
    // Signals are taken synchronously, so the loop below is all there is;
    // held back from the start, so a SIGTERM never finds us half set up.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGCHLD);
    sigprocmask(SIG_BLOCK, &signals, nullptr);

    // Perstando may start us several times in one run: later copies leave at
    // once. The lock is keyed by our own path, apart from Perstando's, which
    // is keyed by the folder.
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    core::InstanceLock single;
    if (!single.tryAcquire(ec ? std::string("linkmind") : self.string())) {
        return 0;
    }

    pid_t helper = -1;
    auto nextCheck = std::chrono::steady_clock::now();
    while (true) {
        if (std::chrono::steady_clock::now() >= nextCheck) {
            // One request at a time: a hanging nmcli is not joined by more.
            if (helper < 0 && !connection::isConnected()) {
                helper = switchNetworkingOn(signals);
            }
            nextCheck = std::chrono::steady_clock::now() + CheckInterval;
        }
        const timespec timeout = until(nextCheck);
        const int signal = ::sigtimedwait(&signals, nullptr, &timeout);
        if (signal == SIGTERM || signal == SIGINT) {
            break;
        }
        if (signal == SIGCHLD && helper > 0 && ::waitpid(helper, nullptr, WNOHANG) == helper) {
            helper = -1;
        }
    }
    if (helper > 0) {
        ::kill(helper, SIGTERM);
        ::waitpid(helper, nullptr, 0);
    }
    return 0;
}
