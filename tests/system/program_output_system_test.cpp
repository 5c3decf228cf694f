// A program's output outlives Perstando: its logger is a process of its own,
// so the program keeps writing, and its lines keep arriving in the file,
// after Perstando is killed.

#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <signal.h>

using namespace testing_support;

namespace {

TEST(ProgramOutputSystem, TheProgramKeepsWritingAfterPerstandoIsKilled) {
    TempDir folder;
    copyPerstando(folder.path());
    const auto logger = copyExecutable(OUTPUTLOG_BINARY, folder.path(), "outputlog");
    const auto exe = copyExecutable(WATCHED_PROGRAM, folder.path(), uniqueName("talker"));
    writeFile(exe.string() + ".mode", "say 50 0\n");
    const auto output = folder / "talker.out";
    writeFile(folder / "settings.ini",
              "[exe2]\nname=Talker\npath=" + exe.string() + "\ntimer=200\noutput=" +
                  output.string() + "\n[log]\npath=" + (folder / "watch.log").string() + "\n");
    Child perstando({(folder / "perstando").string()}, folder.path(),
                    {"QT_QPA_PLATFORM=offscreen"});
    ASSERT_TRUE(waitUntil([&] { return pidsOf(exe).size() == 1; }));
    const pid_t pid = pidsOf(exe).front();
    ASSERT_TRUE(waitUntil([&] { return occurrences(readFile(output), " out out ") >= 2; }));

    perstando.stop(SIGKILL);
    const int before = occurrences(readFile(output), " out out ");
    EXPECT_TRUE(waitUntil([&] {
        return occurrences(readFile(output), " out out ") >= before + 10;
    })) << "the lines keep coming";
    EXPECT_EQ(pidsOf(exe), std::vector<pid_t>{pid}) << "the same program runs on";
    EXPECT_EQ(pidsOf(logger).size(), 1U);

    killAll(exe);
    EXPECT_TRUE(waitUntil([&] { return pidsOf(logger).empty(); })) << "its logger ends with it";
}

} // namespace
