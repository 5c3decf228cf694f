// A slot's arguments and environment file: the arguments arrive as written,
// blanks inside quotes kept, and the program is still found by its path; the
// file's variables reach the program; a file that is not safe to read, or not
// all readable, keeps the program from starting and says why, once.

#include "engine/slot_watcher.h"
#include "engine/watchdog.h"
#include "tests/engine/program_folder_test.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

using namespace testing_support;

namespace {

class ProgramArgumentsTest : public ProgramFolderTest {
protected:
    /// A file only this user can read.
    std::filesystem::path privateFile(const std::string &name, const std::string &content) {
        const auto file = folder_ / name;
        writeFile(file, content);
        std::filesystem::permissions(file, std::filesystem::perms::owner_read |
                                               std::filesystem::perms::owner_write);
        return file;
    }
};

TEST_F(ProgramArgumentsTest, ArgumentsArriveIntactAndTheProgramIsStillFoundByItsPath) {
    const auto exe = program("kiosk");
    const auto env =
        privateFile("kiosk.env", "# the test's variable\n\n  PERSTANDO_TEST_VAR=a b=\"c\"\r\n"
                                 "OTHER=1\nPERSTANDO_TEST_VAR=last one wins\n");
    auto &watcher = start("[exe3]\nname=Kiosk\npath=" + exe.string() +
                          "\narguments=--kiosk \"two words\"  plain \"\" 'single'\nenvironment=" +
                          env.filename().string() + "\n");
    watcher.tick(3);
    ASSERT_EQ(pidsOf(exe).size(), 1u) << logText();
    const auto starts = exe.string() + ".starts";
    EXPECT_TRUE(waitUntil([&] {
        return occurrences(readFile(starts),
                           " env=last one wins args=--kiosk|two words|plain||'single'\n") == 1;
    })) << readFile(starts);

    watcher.tick(3);
    EXPECT_EQ(watcher.slotState(3).phase, engine::Phase::Running);
    EXPECT_EQ(pidsOf(exe).size(), 1u);
    EXPECT_EQ(occurrences(logText(), "has been restarted."), 1);
}

TEST_F(ProgramArgumentsTest, AnEnvironmentFileThatCannotBeTrustedOrReadKeepsTheProgramStopped) {
    const auto fifo = folder_ / "fifo.env";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        std::string name;
        std::function<std::filesystem::path()> make;
        std::string reason;
    };
    std::vector<Case> cases{
        {"readable by others",
         [&] {
             auto file = privateFile("open.env", "A=1\n");
             std::filesystem::permissions(file, std::filesystem::perms::others_read,
                                          std::filesystem::perm_options::add);
             return file;
         },
         "can be read or changed by other users (mode 0604); chmod 600 "},
        {"a FIFO", [&] { return fifo; }, "fifo.env is not a regular file"},
        {"too large",
         [&] { return privateFile("large.env", "A=" + std::string(64 * 1024, 'x') + "\n"); },
         "large.env is larger than 65536 bytes"},
        {"a line without =", [&] { return privateFile("bad.env", "A=1\n# fine\nexport B\n"); },
         "bad.env line 3: no NAME=value"},
        {"no variable name", [&] { return privateFile("name.env", "\n1X=2\n"); },
         "name.env line 2: \"1X\" is no variable name"},
        {"missing", [&] { return folder_ / "none.env"; }, "none.env does not exist"},
    };
    if (::geteuid() == 0) {
        cases.push_back({"a link to another user's file",
                         [&] {
                             const auto theirs = privateFile("theirs.env", "A=1\n");
                             EXPECT_EQ(::chown(theirs.c_str(), 65534, 65534), 0);
                             std::filesystem::create_symlink(theirs, folder_ / "link.env");
                             return folder_ / "link.env";
                         },
                         "link.env belongs to another user (uid 65534); it must be yours"});
    }
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const auto exe = program("guarded");
        std::filesystem::remove(log());
        auto &watcher = start("[exe2]\nname=Guarded\npath=" + exe.string() +
                              "\nenvironment=" + c.make().string() + "\n");
        watcher.tick(2);
        watcher.tick(2);
        EXPECT_FALSE(std::filesystem::exists(exe.string() + ".starts"));
        EXPECT_EQ(watcher.slotState(2).phase, engine::Phase::RestartFailed);
        const auto text = logText();
        EXPECT_EQ(occurrences(text, ",Guarded was not started: "), 1) << text;
        EXPECT_EQ(occurrences(text, c.reason), 1) << text;
        EXPECT_EQ(occurrences(text, ",Guarded could not be restarted.\n"), 2) << text;
    }
}

} // namespace
