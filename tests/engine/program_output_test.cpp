// A started program's output, kept by its logger: the restart e-mail carries
// the last lines of the run that ended and none of another run's; a file that
// cannot take the output leaves the program started, and says why once.

#include "core/child_reaper.h"
#include "core/output_log.h"
#include "engine/mailer.h"
#include "engine/slot_watcher.h"
#include "tests/engine/program_folder_test.h"
#include "tests/engine/wait_with_events.h"
#include "tests/support/smtp_test_server.h"

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <regex>
#include <set>
#include <sstream>
#include <sys/stat.h>

using namespace testing_support;

namespace {

std::vector<std::string> linesOf(const std::string &text, const std::string &separator = "\n") {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (auto end = text.find(separator); end != std::string::npos;
         end = text.find(separator, start)) {
        lines.push_back(text.substr(start, end - start));
        start = end + separator.size();
    }
    if (start < text.size()) {
        lines.push_back(text.substr(start));
    }
    return lines;
}

/// "<time> out out 7 of 1234": the stream named twice, as the test program says it.
const std::regex
    keptLine(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d (out|err) (out|err) )"
             R"(\d+ of (\d+))");

class ProgramOutputTest : public ReapingFolderTest {
protected:
    void withLogger() {
        if (!std::filesystem::exists(folder_ / outputlog::ProgramName)) {
            copyExecutable(OUTPUTLOG_BINARY, folder_.path(), outputlog::ProgramName);
        }
    }
    /// A watchdog on `settings` whose e-mail goes to `server`.
    engine::SlotWatcher &startMailing(const std::string &settings, const SmtpTestServer &server) {
        writeFile(folder_ / "settings.ini",
                  settings +
                      "[mail]\nSendto=ops@example.com\naddress=perstando@example.com\n"
                      "server=127.0.0.1\nport=" +
                      std::to_string(server.port()) + "\n[log]\npath=" + log().string() + "\n");
        watchdog_ = std::make_unique<engine::Watchdog>(nullptr);
        watchdog_->mailer().setPacing(100, 100);
        watchdog_->start();
        watchdog_->setMailSwitch(QStringLiteral("On"));
        return watchdog_->slotWatcher();
    }
};

TEST_F(ProgramOutputTest, TheRestartMailCarriesTheLastLinesOfTheRunThatEnded) {
    withLogger();
    SmtpTestServer server;
    ASSERT_TRUE(server.started());
    const auto exe = program("talker", "say 5 30");
    const auto output = folder_ / "talker.out";
    // Relative: taken from the settings' folder.
    auto &watcher = startMailing(
        "[exe2]\nname=Talker\npath=" + exe.string() + "\ntimer=60000\noutput=talker.out\n", server);

    watcher.tick(2);
    ASSERT_TRUE(waitWithEvents([&] { return server.messages().size() == 1; })) << "the first start";
    // Each run says `said` lines per stream; the next run says fewer, and
    // its restart must not fill up with the earlier run's. No SIGSEGV: a
    // sanitized program would add its report to what it said.
    struct Round {
        int signal;
        int said;
        std::size_t told;
    };
    for (const Round round : {Round{SIGTERM, 30, 20}, Round{SIGKILL, 3, 6}}) {
        SCOPED_TRACE(round.signal);
        const std::size_t mailsBefore = server.messages().size();
        ASSERT_TRUE(waitUntil([&] { return pidsOf(exe).size() == 1; }));
        const pid_t pid = pidsOf(exe).front();
        const std::string ofPid = " " + std::to_string(round.said) + " of " + std::to_string(pid);
        ASSERT_TRUE(waitUntil([&] {
            return readFile(output).find("err" + ofPid) != std::string::npos;
        })) << readFile(output)
            << logText();
        writeFile(exe.string() + ".mode", "say 5 3\n");
        ::kill(pid, round.signal);
        ASSERT_TRUE(waitUntil([&] { return hasEnded(pid); }));
        watcher.tick(2);

        ASSERT_TRUE(waitWithEvents([&] { return server.messages().size() > mailsBefore; }));
        const std::string body = server.messages().back().body();
        const auto from = body.find("\r\nLast output:\r\n");
        ASSERT_NE(from, std::string::npos) << body;
        auto lines = linesOf(body.substr(from + 16), "\r\n");
        lines.erase(std::find(lines.begin(), lines.end(), std::string()), lines.end());
        ASSERT_EQ(lines.size(), round.told) << body;
        std::set<std::string> told;
        for (const auto &line : lines) {
            std::smatch m;
            ASSERT_TRUE(std::regex_match(line, m, keptLine)) << line;
            EXPECT_EQ(m[1], m[2]) << "the stream's own prefix: " << line;
            EXPECT_EQ(m[3], std::to_string(pid)) << "only the ended run's lines: " << line;
            told.insert(line.substr(line.find(' ') + 5));
        }
        EXPECT_TRUE(told.count("out" + ofPid) && told.count("err" + ofPid))
            << "the newest: " << body;
    }
    // The file holds every line of both runs, each with its time and stream.
    const auto kept = linesOf(readFile(output));
    EXPECT_GE(kept.size(), 66U);
    for (const auto &line : kept) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, keptLine)) << line;
        EXPECT_EQ(m[1], m[2]) << line;
    }
}

TEST_F(ProgramOutputTest, OutputThatCannotBeKeptLeavesTheProgramStartedAndIsLoggedOnce) {
    struct Case {
        const char *name;
        std::function<void(const std::filesystem::path &)> prepare;
        bool logger;
        const char *reason;
    };
    const Case cases[] = {
        {"link",
         [](const std::filesystem::path &p) {
             std::filesystem::create_symlink(p.parent_path() / "elsewhere", p);
         },
         true, ": is a symbolic link."},
        {"fifo", [](const std::filesystem::path &p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); },
         true, ": is not a regular file."},
        {"no logger", [](const std::filesystem::path &) {}, false,
         "/outputlog cannot be started: No such file or directory."},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.logger) {
            withLogger();
        } else {
            std::filesystem::remove(folder_ / outputlog::ProgramName);
        }
        const auto exe = program("quiet", "say 100 0");
        const auto output = folder_ / (exe.filename().string() + ".out");
        std::filesystem::remove(log());
        c.prepare(output);
        auto &watcher = start("[exe2]\nname=Quiet\npath=" + exe.string() +
                              "\ntimer=60000\noutput=" + output.string() + "\n");
        for (int round = 0; round < 2; ++round) {
            watcher.tick(2);
            ASSERT_TRUE(waitUntil([&] { return pidsOf(exe).size() == 1; })) << "started anyway";
            ::kill(pidsOf(exe).front(), SIGKILL);
            ASSERT_TRUE(waitUntil([&] { return pidsOf(exe).empty(); }));
        }
        EXPECT_EQ(occurrences(logText(), "The output of Quiet is not kept: "), 1) << logText();
        EXPECT_NE(logText().find(c.reason), std::string::npos) << logText();
        EXPECT_FALSE(std::filesystem::exists(output.parent_path() / "elsewhere"))
            << "never through a link";
        TearDown();
        SetUp();
    }
}

} // namespace
