// An installed copy (a program folder its user cannot write) keeps its
// settings in the user's configuration folder.

#include "tests/support/smtp_test_server.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>

using namespace testing_support;

namespace {

namespace fs = std::filesystem;

class ReadOnlyProgramFolder : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directory(program_);
        binary_ = copyPerstando(program_);
        // As root, access() would call it writable; no write bit says read-only to root too.
        ASSERT_EQ(::chmod(program_.c_str(), 0555), 0);
    }
    void TearDown() override {
        ::chmod(program_.c_str(), 0755);
        if (!watched_.empty()) {
            killAll(watched_);
        }
    }
    Child start(const std::vector<std::string> &env) const {
        std::vector<std::string> all = {"QT_QPA_PLATFORM=offscreen"};
        all.insert(all.end(), env.begin(), env.end());
        return Child({binary_.string()}, root_.path(), all);
    }
    static unsigned modeOf(const fs::path &folder) {
        struct stat info {};
        return ::stat(folder.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
    }

    TempDir root_;
    fs::path program_ = root_ / "usr lib perstando";
    fs::path binary_;
    fs::path watched_;
};

TEST_F(ReadOnlyProgramFolder, SettingsLiveInTheUsersConfigFolderCreatedPrivate) {
    const auto config = root_ / "config home";
    const auto folder = config / "perstando";
    const std::vector<std::string> env = {"XDG_CONFIG_HOME=" + config.string()};
    {
        Child first = start(env);
        ASSERT_TRUE(waitUntil([&] { return fs::is_directory(folder); }));
        EXPECT_EQ(modeOf(config), 0700u);
        EXPECT_EQ(modeOf(folder), 0700u);
        ASSERT_TRUE(waitUntil([&] { return holdsASocket(first.pid()); }));

        // The lock follows the settings: a second copy with the same ones ends.
        Child second = start(env);
        const int status = second.waitExit(std::chrono::seconds(10));
        ASSERT_NE(status, -1) << "the second copy kept running";
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        EXPECT_TRUE(first.running());
    }
    // The executable and its windowed module, nothing more.
    EXPECT_EQ(std::distance(fs::directory_iterator(program_), fs::directory_iterator()), 2)
        << "nothing is written beside the program";

    // A slot configured in that folder is watched, and its log is kept.
    watched_ = copyExecutable(WATCHED_PROGRAM, root_.path(), uniqueName("watched"));
    const auto log = root_ / "watch.log";
    writeFile(folder / "settings.ini", "[exe1]\nname=Kept\npath=" + watched_.string() +
                                           "\ntimer=100\n[log]\npath=" + log.string() + "\n");
    Child perstando = start(env);
    ASSERT_TRUE(waitUntil([&] { return pidsOf(watched_).size() == 1; }));
    EXPECT_NE(readFile(log).find("Tenacor has been started."), std::string::npos);
}

TEST_F(ReadOnlyProgramFolder, TheMailPasswordFileIsReadFromTheSettingsFolder) {
    SmtpTestServer server(signInRequired("alerts@example.com", "correct horse"));
    ASSERT_TRUE(server.started());
    const auto folder = root_ / "config" / "perstando";
    fs::create_directories(folder);
    watched_ = copyExecutable(WATCHED_PROGRAM, root_.path(), uniqueName("mailed"));
    writeMailPasswordFile(folder, "correct horse");
    const auto log = root_ / "watch.log";
    writeFile(folder / "settings.ini",
              "[exe1]\nname=Mailed\npath=" + watched_.string() +
                  "\ntimer=200\n[log]\npath=" + log.string() + "\n" +
                  server.signedInMailSettings("alerts@example.com", root_ / "ca.pem"));
    // No session bus, so no keyring: the file is the only place to look.
    Child perstando = start({"XDG_CONFIG_HOME=" + (root_ / "config").string(),
                             "DBUS_SESSION_BUS_ADDRESS=unix:path=" + (root_ / "no-bus").string()});
    // The first start is a restart too, and mails.
    ASSERT_TRUE(waitUntil([&] { return server.messages().size() == 1; }, std::chrono::seconds(30)))
        << readFile(log);
    EXPECT_EQ(server.messages()[0].authUser, "alerts@example.com");
}

TEST_F(ReadOnlyProgramFolder, ARelativeConfigHomeMeansTheOneInHome) {
    const auto home = root_ / "home";
    fs::create_directory(home);
    Child perstando = start({"XDG_CONFIG_HOME=relative/config", "HOME=" + home.string()});
    EXPECT_TRUE(waitUntil([&] { return fs::is_directory(home / ".config" / "perstando"); }));
    EXPECT_FALSE(fs::exists(root_ / "relative"));
}

TEST_F(ReadOnlyProgramFolder, AFolderThatCannotBeMadeIsSaidAndTheProgramRunsOn) {
    const auto blocker = root_ / "a file";
    writeFile(blocker, "");
    const auto errors = root_ / "stderr";
    Child perstando({"/bin/sh", "-c", "exec \"$0\" 2>\"$1\"", binary_.string(), errors.string()},
                    root_.path(),
                    {"QT_QPA_PLATFORM=offscreen", "XDG_CONFIG_HOME=" + blocker.string()});
    ASSERT_TRUE(waitUntil([&] {
        return readFile(errors).find("the settings folder cannot be created (" +
                                     blocker.string()) != std::string::npos;
    })) << readFile(errors);
    EXPECT_TRUE(waitUntil([&] { return holdsASocket(perstando.pid()); }));
    EXPECT_TRUE(perstando.running());
}

} // namespace
