// A program for the tests to watch: it records each start (pid, working
// directory, arguments) in a file beside itself, named after its own file, then
// runs until killed; with the argument --exit it ends at once instead.

#include <unistd.h>

#include <climits>
#include <cstring>
#include <fstream>
#include <string>

int main(int argc, char **argv) {
    char exe[PATH_MAX] = {};
    const auto n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    const std::string self = n > 0 ? std::string(exe, static_cast<std::size_t>(n)) : argv[0];
    char cwd[PATH_MAX] = {};
    if (!::getcwd(cwd, sizeof cwd)) {
        std::strcpy(cwd, "?");
    }
    bool exitAtOnce = false;
    {
        std::ofstream record(self + ".starts", std::ios::app);
        record << "pid=" << ::getpid() << " cwd=" << cwd << " args=";
        for (int i = 1; i < argc; ++i) {
            record << (i > 1 ? "|" : "") << argv[i];
            exitAtOnce = exitAtOnce || std::strcmp(argv[i], "--exit") == 0;
        }
        record << "\n";
    }
    if (exitAtOnce) {
        return 0;
    }
    for (;;) {
        ::pause();
    }
}
