#include "tests/support/x_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

namespace testing_support {

XServer::XServer() {
    // Xvfb chooses a free display and writes its number to the pipe once it
    // accepts connections: no guessing of numbers and no race.
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    const std::string writeEnd = std::to_string(fds[1]);
    pid_ = ::fork();
    if (pid_ == 0) {
        // The server goes with the test process, even when that one crashes.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::fcntl(fds[1], F_SETFD, 0);
        const int devNull = ::open("/dev/null", O_RDWR);
        ::dup2(devNull, 0);
        ::dup2(devNull, 1);
        ::execl("/usr/bin/Xvfb", "Xvfb", "-displayfd", writeEnd.c_str(), "-screen", "0",
                "1280x800x24", "-nolisten", "tcp", "-noreset", static_cast<char *>(nullptr));
        ::_exit(127);
    }
    ::close(fds[1]);
    std::string number;
    pollfd ready{fds[0], POLLIN, 0};
    while (::poll(&ready, 1, 20000) > 0) {
        char c = 0;
        if (::read(fds[0], &c, 1) != 1 || c == '\n') {
            break;
        }
        number += c;
    }
    ::close(fds[0]);
    if (number.empty()) {
        throw std::runtime_error("Xvfb did not start");
    }
    display_ = ":" + number;
}

XServer::~XServer() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
}

} // namespace testing_support
