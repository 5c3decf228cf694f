#include "core/working_set.h"

#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace workingset {

std::size_t trim() {
#ifdef MADV_PAGEOUT
    std::FILE *maps = std::fopen("/proc/self/maps", "re");
    if (maps == nullptr) {
        return 0;
    }
    std::size_t offered = 0;
    char line[4096 + 128];
    while (std::fgets(line, sizeof line, maps) != nullptr) {
        void *start = nullptr;
        void *end = nullptr;
        char perms[5] = {};
        unsigned long long inode = 0;
        // start-end perms offset dev inode [path], the addresses in hex
        if (std::sscanf(line, "%p-%p %4s %*s %*s %llu", &start, &end, perms, &inode) != 4) {
            continue;
        }
        // Only pages a file holds: writable private pages are anonymous
        // copies, and shared writable ones may be someone's data.
        if (inode == 0 || perms[1] == 'w' || perms[0] != 'r') {
            continue;
        }
        const auto length =
            static_cast<std::size_t>(static_cast<char *>(end) - static_cast<char *>(start));
        if (::madvise(start, length, MADV_PAGEOUT) == 0) {
            offered += length;
        } else if (errno == EINVAL && offered == 0) {
            break; // a kernel without it refuses every range
        }
    }
    std::fclose(maps);
    ::malloc_trim(0);
    return offered;
#else
    return 0;
#endif
}

std::size_t residentBytes() {
    std::FILE *statm = std::fopen("/proc/self/statm", "re");
    if (statm == nullptr) {
        return 0;
    }
    unsigned long size = 0;
    unsigned long resident = 0;
    const int read = std::fscanf(statm, "%lu %lu", &size, &resident);
    std::fclose(statm);
    return read == 2 ? resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)) : 0;
}

} // namespace workingset
