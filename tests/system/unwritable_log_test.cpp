// Logs that cannot take an entry under the real binary: a FIFO never holds a
// check, and a full disk neither silences the e-mail nor cuts an entry.

#include "tests/support/network_namespace.h"
#include "tests/support/smtp_test_server.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <regex>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace testing_support;

namespace {

/// Kills the watched programs however the test ends.
struct KillAtEnd {
    std::vector<std::filesystem::path> programs;
    ~KillAtEnd() {
        for (const auto &exe : programs) {
            killAll(exe);
        }
    }
};

TEST(UnwritableLog, AFifoLogHoldsNoCheck) {
    // No reader: a blocking open waits for one. A reader that stopped reading
    // with the pipe full: a blocking write waits for it.
    for (const bool stoppedReader : {false, true}) {
        SCOPED_TRACE(stoppedReader ? "stopped reader" : "no reader");
        TempDir folder;
        copyPerstando(folder.path());
        KillAtEnd watched;
        std::string settings;
        for (int slot : {2, 3}) {
            watched.programs.push_back(
                copyExecutable(WATCHED_PROGRAM, folder.path(), uniqueName("fifo")));
            settings += "[exe" + std::to_string(slot) + "]\nname=Slot " + std::to_string(slot) +
                        "\npath=" + watched.programs.back().string() + "\ntimer=100\n";
        }
        const auto log = folder / "watch.log";
        ASSERT_EQ(::mkfifo(log.c_str(), 0600), 0);
        int reader = -1;
        if (stoppedReader) {
            reader = ::open(log.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            const int writer = ::open(log.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            ASSERT_GE(writer, 0);
            const std::string block(4096, 'x');
            while (::write(writer, block.data(), block.size()) > 0) {
            }
            ::close(writer);
        }
        writeFile(folder / "settings.ini", settings + "[log]\npath=" + log.string() + "\n");

        Child perstando({(folder / "perstando").string()}, folder.path(),
                        {"QT_QPA_PLATFORM=offscreen"});
        for (const auto &exe : watched.programs) {
            EXPECT_TRUE(waitUntil([&] { return pidsOf(exe).size() == 1; })) << exe;
        }
        // Killed again, the second slot's program comes back: nothing waits on the log.
        killAll(watched.programs[1]);
        EXPECT_TRUE(waitUntil([&] { return pidsOf(watched.programs[1]).size() == 1; }));
        perstando.stop(SIGKILL);
        if (reader >= 0) {
            ::close(reader);
        }
    }
}

/// Lines the log holds after `prefix`.
std::string after(const std::string &text, const std::string &prefix) {
    EXPECT_EQ(text.substr(0, prefix.size()), prefix) << "the earlier entries changed";
    return text.size() > prefix.size() ? text.substr(prefix.size()) : std::string();
}

TEST(UnwritableLog, AFullDiskSilencesNoMailAndCutsNoEntry) {
    const auto probe = runCaptured({"unshare", "-m", "true"});
    if (!WIFEXITED(probe.status) || WEXITSTATUS(probe.status) != 0) {
        GTEST_SKIP() << "no mount namespace can be made here (needs root)";
    }
    SmtpTestServer server;
    ASSERT_TRUE(server.started());
    TempDir folder;
    copyPerstando(folder.path());
    KillAtEnd watched{{copyExecutable(WATCHED_PROGRAM, folder.path(), uniqueName("full"))}};
    const auto &exe = watched.programs[0];
    const auto disk = folder / "disk";
    std::filesystem::create_directory(disk);
    const auto log = disk / "perstando.log";
    writeFile(
        folder / "settings.ini",
        "[exe2]\nname=Two\npath=" + exe.string() + "\ntimer=200\n[log]\npath=" + log.string() +
            "\n[mail]\nnotification=On\nSendto=ops@example.com\nport=" +
            std::to_string(server.port()) + "\naddress=perstando@example.com\nserver=127.0.0.1\n");
    // Earlier entries that leave 20 bytes in the log's last page; the rest of
    // the disk is taken by a filler, so any entry is cut after 20 bytes.
    std::string earlier;
    const std::string line = "1/15/2004 3:07:12 PM, Tenacor has been started.\n";
    while (earlier.size() + 2 * line.size() < 4096 - 20) {
        earlier += line;
    }
    earlier += std::string(4096 - 20 - earlier.size() - 1, '-') + "\n";
    writeFile(folder / "earlier.log", earlier);

    // A 64 KiB tmpfs in a mount namespace of Perstando's own: it goes away with
    // the last process in it.
    Child perstando({"/usr/bin/unshare", "-m", "--propagation", "private", "/bin/sh", "-c",
                     "mount -t tmpfs -o size=64k perstando-test \"$1\" && cp \"$2\" \"$1/" +
                         log.filename().string() +
                         "\" && { dd if=/dev/zero of=\"$1/filler\" bs=4096 2>/dev/null; "
                         "exec \"$3\"; }",
                     "sh", disk.string(), (folder / "earlier.log").string(),
                     (folder / "perstando").string()},
                    folder.path(), {"QT_QPA_PLATFORM=offscreen"});
    const std::filesystem::path inside =
        std::filesystem::path("/proc") / std::to_string(perstando.pid()) / "root";
    const auto logInside = inside / log.relative_path();

    ASSERT_TRUE(waitUntil([&] { return server.messages().size() == 1; }, std::chrono::seconds(30)))
        << "the restart was not mailed";
    EXPECT_EQ(pidsOf(exe).size(), 1u);
    EXPECT_EQ(after(readFile(logInside), earlier), "") << "an entry was cut";

    // With room again, the next entry starts on a line of its own.
    std::filesystem::remove(inside / (disk / "filler").relative_path());
    killAll(exe);
    ASSERT_TRUE(waitUntil([&] { return server.messages().size() == 2; }, std::chrono::seconds(30)));
    const std::string added = after(readFile(logInside), earlier);
    static const std::regex entry(R"(^\*{53}\n[^*\n]+,Two has been restarted\.\n\*{53}\n$)");
    EXPECT_TRUE(std::regex_match(added, entry)) << added;
    perstando.stop(SIGKILL);
}

} // namespace
