// For the launcher's benchmark: writes the steady clock's nanoseconds at the
// top of main to the file named by its argument, then waits to be killed.

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char **argv) {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    if (argc < 2) {
        return 2;
    }
    const int fd = ::open(argv[1], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        return 1;
    }
    ::dprintf(fd, "%lld\n", static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
    ::close(fd);
    for (;;) {
        ::pause();
    }
}
