#include "tests/support/test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <thread>

extern char **environ;

namespace testing_support {

TempDir::TempDir() {
    char pattern[] = "/tmp/perstando-test-XXXXXX";
    const char *made = ::mkdtemp(pattern);
    if (!made) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = made;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
}

bool waitUntil(const std::function<bool()> &condition, std::chrono::milliseconds timeout,
               std::chrono::milliseconds poll) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        if (condition()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(poll);
    }
}

std::string readFile(const std::filesystem::path &file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

int occurrences(const std::string &text, const std::string &piece) {
    int n = 0;
    for (auto at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
        ++n;
    }
    return n;
}

void writeFile(const std::filesystem::path &file, const std::string &content) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << content;
}

bool holdsASocket(pid_t pid) {
    std::error_code ec;
    for (const auto &fd :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
        if (std::filesystem::read_symlink(fd.path(), ec).string().rfind("socket:", 0) == 0) {
            return true;
        }
    }
    return false;
}

std::string uniqueName(const std::string &stem) {
    static std::atomic<int> counter{0};
    return stem + "-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
}

std::filesystem::path copyExecutable(const std::filesystem::path &source,
                                     const std::filesystem::path &folder, const std::string &name) {
    const auto target = folder / name;
    std::filesystem::copy_file(source, target, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::permissions(
        target, std::filesystem::perms::owner_all | std::filesystem::perms::group_exec |
                    std::filesystem::perms::others_exec | std::filesystem::perms::group_read |
                    std::filesystem::perms::others_read);
    return target;
}

std::filesystem::path copyPerstando(const std::filesystem::path &folder, const std::string &name) {
    const std::filesystem::path module(PERSTANDO_GUI_MODULE_FILE);
    std::filesystem::copy_file(module, folder / module.filename(),
                               std::filesystem::copy_options::overwrite_existing);
    return copyExecutable(PERSTANDO_BINARY, folder, name);
}

Child::Child(const std::vector<std::string> &argv, const std::filesystem::path &cwd,
             const std::vector<std::string> &extraEnv) {
    std::vector<char *> args;
    for (const auto &a : argv) {
        args.push_back(const_cast<char *>(a.c_str()));
    }
    args.push_back(nullptr);
    // An extra NAME=value replaces the inherited NAME: the first of two would win.
    const auto overridden = [&](std::string_view entry) {
        const auto equals = entry.find('=');
        if (equals == std::string_view::npos) {
            return false;
        }
        const auto name = entry.substr(0, equals + 1);
        return std::any_of(extraEnv.begin(), extraEnv.end(),
                           [&](const std::string &e) { return e.rfind(name, 0) == 0; });
    };
    std::vector<std::string> envStrings;
    for (char **e = environ; *e; ++e) {
        if (!overridden(*e)) {
            envStrings.emplace_back(*e);
        }
    }
    for (const auto &e : extraEnv) {
        envStrings.push_back(e);
    }
    std::vector<char *> env;
    for (auto &e : envStrings) {
        env.push_back(e.data());
    }
    env.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!cwd.empty()) {
        posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    }
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    const int rc = ::posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        pid_ = -1;
        throw std::runtime_error(std::string("spawn failed: ") + std::strerror(rc));
    }
}

Child::~Child() {
    if (pid_ > 0) {
        stop();
    }
}

Child::Child(Child &&other) noexcept : pid_(other.pid_), status_(other.status_) {
    other.pid_ = -1;
}

Child &Child::operator=(Child &&other) noexcept {
    if (this != &other) {
        if (pid_ > 0) {
            stop();
        }
        pid_ = other.pid_;
        status_ = other.status_;
        other.pid_ = -1;
    }
    return *this;
}

bool Child::running() {
    if (pid_ <= 0) {
        return false;
    }
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        status_ = status;
        pid_ = -1;
        return false;
    }
    return true;
}

int Child::stop(int signal) {
    if (pid_ <= 0) {
        return status_;
    }
    ::kill(pid_, signal);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    status_ = status;
    pid_ = -1;
    return status_;
}

int Child::waitExit(std::chrono::milliseconds timeout) {
    if (pid_ <= 0) {
        return status_;
    }
    if (!waitUntil([this] { return !running(); }, timeout)) {
        return -1;
    }
    return status_;
}

std::vector<pid_t> pidsOf(const std::filesystem::path &exe) {
    std::vector<pid_t> pids;
    DIR *dir = ::opendir("/proc");
    if (!dir) {
        return pids;
    }
    while (auto *entry = ::readdir(dir)) {
        const char *name = entry->d_name;
        if (*name < '0' || *name > '9') {
            continue;
        }
        const std::string base = std::string("/proc/") + name;
        char target[4096];
        const auto n = ::readlink((base + "/exe").c_str(), target, sizeof target - 1);
        if (n <= 0) {
            continue;
        }
        target[n] = '\0';
        if (exe != target) {
            continue;
        }
        const auto stat = readFile(base + "/stat");
        const auto close = stat.rfind(')');
        if (close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z') {
            continue;
        }
        pids.push_back(static_cast<pid_t>(std::stoi(name)));
    }
    ::closedir(dir);
    return pids;
}

std::filesystem::path cwdOf(pid_t pid) {
    std::error_code ec;
    return std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/cwd", ec);
}

void killAll(const std::filesystem::path &exe) {
    for (const pid_t pid : pidsOf(exe)) {
        ::kill(pid, SIGKILL);
    }
}

PidNamespace rerunAsPidOne(const std::string &testName, int &status) {
    if (::getpid() == 1) {
        return PidNamespace::Inside;
    }
    const std::string unshare = "unshare --user --map-root-user --pid --fork --mount-proc ";
    if (std::system((unshare + "true >/dev/null 2>&1").c_str()) != 0) {
        return PidNamespace::Unavailable;
    }
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    status = std::system((unshare + self + " --gtest_filter=" + testName).c_str());
    return PidNamespace::RanThere;
}

ShellRun shell(const std::string &command) {
    ShellRun run;
    FILE *pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return run;
    }
    char chunk[4096];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) {
        run.output.append(chunk, n);
    }
    const int status = ::pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

} // namespace testing_support
