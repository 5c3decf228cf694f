// A program for the tests to watch: it records each start (pid, working
// directory, arguments; PERSTANDO_TEST_VAR as env= when set) in a file beside
// itself, named after its own file, then runs until killed; with the argument
// --exit it ends at once instead.
//
// A file "<its own path>.mode" gives it something to do meanwhile, one line:
//   serve PORT         an HTTP/1.0 server on 127.0.0.1:PORT; each request is
//                      answered as "<self>.status" says: a number N gives
//                      status N with the body "status N ok", "hang" takes the
//                      connection and never answers, no file gives 200
//   grow MIB           takes and touches MIB MiB more every second (up to
//                      4 GiB, a guard for a test that forgot it)
//   busy               spins one core
//   touch FILE SECS    sets FILE's modification time every SECS seconds
//   exit N             ends with exit status N on SIGUSR1 or SIGTERM
//   fork N             starts N children that sleep until killed
//   say MS N           writes "out K of PID" to stdout and "err K of PID" to
//                      stderr, K from 1, every MS ms; N times (0: for ever)
// Tests that use a mode run a copy of their own, as the file sits beside it.

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string readFirstLine(const std::string &file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

void writeAll(int fd, const std::string &text) {
    std::size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return;
        }
        sent += static_cast<std::size_t>(n);
    }
}

/// Reads the request head, waiting at most two seconds for it.
void readRequest(int fd) {
    std::string head;
    char buf[1024];
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, 2000) <= 0) {
            return;
        }
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            return;
        }
        head.append(buf, static_cast<std::size_t>(n));
    }
}

[[noreturn]] void serve(const std::string &self, int port) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(listener, 64) != 0) {
        std::exit(3);
    }
    std::vector<int> hanging; // kept open, never answered
    for (;;) {
        const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            continue;
        }
        readRequest(client);
        const std::string status = readFirstLine(self + ".status");
        if (status == "hang") {
            hanging.push_back(client);
            continue;
        }
        const int code = status.empty() ? 200 : std::atoi(status.c_str());
        const std::string body = "status " + std::to_string(code) + " ok";
        writeAll(client, "HTTP/1.0 " + std::to_string(code) + " Test\r\nContent-Type: text/plain" +
                             "\r\nContent-Length: " + std::to_string(body.size()) +
                             "\r\nConnection: close\r\n\r\n" + body);
        ::close(client);
    }
}

[[noreturn]] void grow(long mib) {
    constexpr std::size_t MiB = 1024 * 1024;
    constexpr std::size_t limit = 4096 * MiB;
    std::vector<std::unique_ptr<char[]>> blocks;
    std::size_t total = 0;
    for (;;) {
        if (mib > 0 && total < limit) {
            const std::size_t size = static_cast<std::size_t>(mib) * MiB;
            blocks.push_back(std::make_unique_for_overwrite<char[]>(size));
            std::memset(blocks.back().get(), 1, size); // resident only once touched
            total += size;
        }
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
}

[[noreturn]] void busy() {
    volatile unsigned long spins = 0;
    for (;;) {
        spins = spins + 1;
    }
}

[[noreturn]] void touch(const std::string &file, double seconds) {
    const auto period = std::chrono::duration<double>(seconds > 0 ? seconds : 1);
    for (;;) {
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd >= 0) {
            ::futimens(fd, nullptr);
            ::close(fd);
        }
        std::this_thread::sleep_for(period);
    }
}

void say(long intervalMs, long times) {
    const std::string pid = std::to_string(::getpid());
    // Unbuffered and whole, as a program that crashes leaves its output.
    const auto line = [](int fd, const std::string &text) {
        for (std::size_t sent = 0; sent < text.size();) {
            const ssize_t n = ::write(fd, text.data() + sent, text.size() - sent);
            if (n <= 0) {
                return;
            }
            sent += static_cast<std::size_t>(n);
        }
    };
    for (long k = 1; times <= 0 || k <= times; ++k) {
        line(1, "out " + std::to_string(k) + " of " + pid + "\n");
        line(2, "err " + std::to_string(k) + " of " + pid + "\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(intervalMs));
    }
}

volatile std::sig_atomic_t exitStatus = 0;

void exitOnSignal(int) {
    ::_exit(exitStatus);
}

void runMode(const std::string &self) {
    std::istringstream words(readFirstLine(self + ".mode"));
    std::string mode;
    words >> mode;
    if (mode == "serve") {
        int port = 0;
        words >> port;
        serve(self, port);
    } else if (mode == "grow") {
        long mib = 0;
        words >> mib;
        grow(mib);
    } else if (mode == "busy") {
        busy();
    } else if (mode == "say") {
        long intervalMs = 0;
        long times = 0;
        words >> intervalMs >> times;
        say(intervalMs, times);
    } else if (mode == "fork") {
        long children = 0;
        words >> children;
        for (long i = 0; i < children; ++i) {
            if (::fork() == 0) {
                for (;;) {
                    ::pause();
                }
            }
        }
    } else if (mode == "touch") {
        std::string file;
        double seconds = 0;
        words >> file >> seconds;
        touch(file, seconds);
    }
}

} // namespace

int main(int argc, char **argv) {
    char exe[PATH_MAX] = {};
    const auto n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    const std::string self = n > 0 ? std::string(exe, static_cast<std::size_t>(n)) : argv[0];
    char cwd[PATH_MAX] = {};
    if (!::getcwd(cwd, sizeof cwd)) {
        std::strcpy(cwd, "?");
    }
    bool exitAtOnce = false;
    // A SIGSEGV sent by a test ends the program as the kernel ends it: a
    // sanitizer's handler would first write a report, which may take seconds.
    std::signal(SIGSEGV, SIG_DFL);
    // Before the start is recorded: a test signals once it sees the record.
    std::istringstream words(readFirstLine(self + ".mode"));
    std::string mode;
    if (int status = 0; words >> mode >> status && mode == "exit") {
        exitStatus = status;
        std::signal(SIGUSR1, exitOnSignal);
        std::signal(SIGTERM, exitOnSignal);
    }
    {
        std::ofstream record(self + ".starts", std::ios::app);
        record << "pid=" << ::getpid() << " cwd=" << cwd;
        if (const char *value = std::getenv("PERSTANDO_TEST_VAR")) {
            record << " env=" << value;
        }
        record << " args=";
        for (int i = 1; i < argc; ++i) {
            record << (i > 1 ? "|" : "") << argv[i];
            exitAtOnce = exitAtOnce || std::strcmp(argv[i], "--exit") == 0;
        }
        record << "\n";
    }
    if (exitAtOnce) {
        return 0;
    }
    runMode(self);
    for (;;) {
        ::pause();
    }
}
