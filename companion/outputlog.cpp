// outputlog: keeps a started program's stdout and stderr in a file. Started
// by Perstando with the program's pipes on descriptors 3 and 4 and the file
// on 5, it outlives Perstando, so the program never writes into a closed
// pipe. It ends when both pipes are closed.

#include "core/output_log.h"

#include <fcntl.h>
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

bool parseNumber(const char *text, unsigned long long max, unsigned long long &value) {
    if (!text || *text < '0' || *text > '9') {
        return false;
    }
    errno = 0;
    char *end = nullptr;
    value = std::strtoull(text, &end, 10);
    return errno == 0 && *end == '\0' && value >= 1 && value <= max;
}

int usage(const char *problem) {
    std::fprintf(stderr, "outputlog: %s\nusage: outputlog PATH MAXBYTES FILES\n", problem);
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 4) {
        return usage("three arguments are needed");
    }
    const std::string path = argv[1];
    unsigned long long maxBytes = 0;
    unsigned long long files = 0;
    if (path.empty()) {
        return usage("the path is empty");
    }
    if (!parseNumber(argv[2], 1ULL << 50, maxBytes)) {
        return usage("MAXBYTES is not a positive number");
    }
    if (!parseNumber(argv[3], 99, files)) {
        return usage("FILES is not a number from 1 to 99");
    }
    for (const int fd : {outputlog::OutFd, outputlog::ErrFd, outputlog::FileFd}) {
        if (::fcntl(fd, F_GETFD) < 0) {
            return usage("descriptors 3, 4 and 5 must be open");
        }
    }
    // A closed terminal, a reader gone or a file size limit must not end the
    // logger: the program would then write into a pipe nobody reads.
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGHUP, SIG_IGN);
    ::signal(SIGXFSZ, SIG_IGN);
    outputlog::Limits limits;
    limits.maxBytes = maxBytes;
    limits.files = static_cast<int>(files);
    return outputlog::run(outputlog::OutFd, outputlog::ErrFd, outputlog::FileFd, path, limits);
}
