#include "core/regular_file.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <string>

namespace {

namespace fs = std::filesystem;
using Status = core::RegularFileRead::Status;
using testing_support::TempDir;
using testing_support::writeFile;

// What is no small regular file is refused without waiting, whatever it is;
// what is one is read whole up to the bound, also where its size says 0.
TEST(RegularFile, OnlyABoundedRegularFileIsReadAndNothingWaits) {
    TempDir dir;
    writeFile(dir / "exact", std::string(100, 'x'));
    writeFile(dir / "over", std::string(101, 'x'));
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    fs::create_directory(dir / "folder");
    fs::create_symlink(dir / "exact", dir / "link");
    fs::create_symlink("/dev/zero", dir / "zero");
    struct Case {
        fs::path file;
        std::size_t bound;
        bool followLinks;
        Status expected;
    };
    const Case cases[] = {
        {dir / "exact", 100, true, Status::Read},
        {dir / "over", 100, true, Status::TooLarge},
        {dir / "missing", 100, true, Status::Missing},
        {dir / "fifo", 100, true, Status::NotRegular},
        {dir / "folder", 100, true, Status::Directory},
        {dir / "zero", 100, true, Status::NotRegular},
        {dir / "link", 100, true, Status::Read},
        {dir / "link", 100, false, Status::SymbolicLink},
        // Size 0 on stat, more than the first buffer when read.
        {"/proc/self/smaps", 64 * 1024 * 1024, true, Status::Read},
        {"/proc/self/smaps", 100, true, Status::TooLarge},
    };
    for (const Case &c : cases) {
        core::RegularFileOptions options;
        options.followLinks = c.followLinks;
        auto read = std::async(std::launch::async,
                               [&] { return core::readRegularFile(c.file, c.bound, options); });
        ASSERT_EQ(read.wait_for(std::chrono::seconds(5)), std::future_status::ready)
            << c.file << " blocked"; // the FIFO's writer never comes
        const core::RegularFileRead result = read.get();
        EXPECT_EQ(result.status, c.expected) << c.file << " " << result.errorText();
        if (result.ok() && c.file.filename() == "exact") {
            EXPECT_EQ(result.data, std::string(100, 'x'));
        }
        if (result.ok() && c.file.filename() == "smaps") {
            EXPECT_GT(result.data.size(), 4096u) << "cut at the first buffer";
            EXPECT_EQ(result.data.find('\0'), std::string::npos);
        }
    }
}

// The caller's check sees the opened file and is asked before anything is read.
TEST(RegularFile, TheCallersCheckRefusesBeforeTheSizeIsJudged) {
    TempDir dir;
    writeFile(dir / "large", std::string(200, 'x'));
    ::chmod((dir / "large").c_str(), 0644);
    core::RegularFileOptions options;
    options.check = [](const struct stat &info) {
        return (info.st_mode & 077) != 0 ? std::string("open to others") : std::string();
    };
    const auto refused = core::readRegularFile(dir / "large", 100, options);
    EXPECT_EQ(refused.status, Status::Refused);
    EXPECT_EQ(refused.refusal, "open to others");
    ::chmod((dir / "large").c_str(), 0600);
    EXPECT_EQ(core::readRegularFile(dir / "large", 100, options).status, Status::TooLarge);
}

} // namespace
