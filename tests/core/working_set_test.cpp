#include "core/working_set.h"

#include "tests/support/test_support.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <linux/magic.h>
#include <string>

namespace {

constexpr std::size_t Size = 8 << 20;

/// Resident kB of the mapping that starts at `start`, from /proc/self/smaps.
long residentKb(const void *start) {
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "%lx-", reinterpret_cast<unsigned long>(start));
    std::ifstream smaps("/proc/self/smaps");
    std::string line;
    bool inside = false;
    while (std::getline(smaps, line)) {
        if (line.rfind(prefix, 0) == 0) {
            inside = true;
        } else if (inside && line.rfind("Rss:", 0) == 0) {
            return std::stol(line.substr(4));
        }
    }
    return -1;
}

/// Every page read, so that all of them are resident; the sum keeps the reads.
unsigned long touch(const unsigned char *bytes) {
    unsigned long sum = 0;
    for (std::size_t i = 0; i < Size; i += 4096) {
        sum += bytes[i];
    }
    return sum;
}

// A file the process alone maps gives its pages back and reads the same after;
// memory the process wrote stays resident, as it has nowhere to go.
TEST(WorkingSet, TrimHandsBackFilePagesAndKeepsWrittenMemory) {
    // On the build's disk: tmpfs pages are memory and are never given back.
    const std::string path = "working-set-" + testing_support::uniqueName("file");
    {
        std::string content(Size, '\0');
        for (std::size_t i = 0; i < Size; i += 4096) {
            content[i] = static_cast<char>(i / 4096 % 251 + 1);
        }
        testing_support::writeFile(path, content);
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    struct statfs fs {};
    ASSERT_EQ(::fstatfs(fd, &fs), 0);
    if (fs.f_type == TMPFS_MAGIC) {
        ::close(fd);
        ::unlink(path.c_str());
        GTEST_SKIP() << "the working folder is on tmpfs";
    }
    ::fsync(fd); // clean pages: dirty ones wait for their write-back
    void *file = ::mmap(nullptr, Size, PROT_READ, MAP_PRIVATE, fd, 0);
    ASSERT_NE(file, MAP_FAILED);
    auto *written = static_cast<unsigned char *>(
        ::mmap(nullptr, Size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(written, MAP_FAILED);
    std::memset(written, 7, Size);

    const unsigned long before = touch(static_cast<const unsigned char *>(file));
    EXPECT_GE(residentKb(file), long(Size / 1024) * 9 / 10);
    EXPECT_GE(workingset::trim(), Size);
    EXPECT_LT(residentKb(file), long(Size / 1024) / 4);
    EXPECT_GE(residentKb(written), long(Size / 1024) * 9 / 10);
    EXPECT_EQ(touch(static_cast<const unsigned char *>(file)), before);
    EXPECT_EQ(written[Size - 1], 7);
    EXPECT_GT(workingset::residentBytes(), Size);

    ::munmap(written, Size);
    ::munmap(file, Size);
    ::close(fd);
    ::unlink(path.c_str());
}

} // namespace
