// Perstando as the parent of what it starts: the exit cause of a program it
// started, in the state, --status and the restart e-mail; "cause unknown" for
// one found running; and no zombie left by a program's orphans.

#include "core/child_reaper.h"
#include "core/launcher.h"
#include "engine/mailer.h"
#include "engine/slot_watcher.h"
#include "engine/status_report.h"
#include "tests/engine/program_folder_test.h"
#include "tests/engine/wait_with_events.h"
#include "tests/support/smtp_test_server.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sstream>

using namespace testing_support;

namespace {

using ExitCauseTest = ReapingFolderTest;

// Each way a program ends, as the restart tells it: the state, the status
// text and JSON, and the e-mail's line after its usual text.
TEST_F(ExitCauseTest, TheRestartTellsHowTheProgramEnded) {
    struct Case {
        const char *mode;
        int signal;
        bool startedApart;
        const char *cause;
    };
    const Case cases[] = {
        {"exit 3", SIGUSR1, false, "exited with status 3"},
        {"", SIGKILL, false, "killed by signal 9 (SIGKILL)"},
        // With a core pattern that writes a file and a core limit of 0 the
        // kernel dumps nothing: ", core dumped" follows only where it did.
        {"", SIGSEGV, false, "killed by signal 11 (SIGSEGV)"},
        {"", SIGKILL, true, "ended; cause unknown (not started by Perstando)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.cause);
        SmtpTestServer server;
        ASSERT_TRUE(server.started());
        const auto exe = program("ending", c.mode);
        writeFile(folder_ / "settings.ini",
                  "[exe2]\nname=Orders\npath=" + exe.string() +
                      "\ntimer=60000\n[mail]\nSendto=ops@example.com\n"
                      "address=perstando@example.com\nserver=127.0.0.1\nport=" +
                      std::to_string(server.port()) + "\n");
        if (c.startedApart) {
            // Started while not the reaper: the program is not Perstando's child.
            reaper::setChildSubreaper(false);
            launcher::start(exe.string(), {}, {});
            reaper::setChildSubreaper(true);
        }
        watchdog_ = std::make_unique<engine::Watchdog>(nullptr);
        watchdog_->mailer().setPacing(100, 100);
        auto &watcher = watchdog_->slotWatcher();
        watchdog_->start();
        watcher.tick(2);
        ASSERT_TRUE(waitUntil([&] { return pidsOf(exe).size() == 1; }));
        const pid_t first = pidsOf(exe).front();
        watcher.tick(2);
        EXPECT_TRUE(watcher.slotState(2).lastExit.isEmpty()) << "nothing ended yet";
        // The program's signal handlers are in place once its start is recorded.
        ASSERT_TRUE(waitUntil([&] { return !readFile(exe.string() + ".starts").empty(); }));
        ::kill(first, c.signal);
        ASSERT_TRUE(waitUntil([&] { return hasEnded(first); }));
        watchdog_->setMailSwitch(QStringLiteral("On"));
        watcher.tick(2);

        const QString cause = watcher.slotState(2).lastExit;
        EXPECT_TRUE(cause == QString::fromLatin1(c.cause) ||
                    cause == QString::fromLatin1(c.cause) + QStringLiteral(", core dumped"))
            << cause.toStdString();
        EXPECT_TRUE(c.startedApart || !inProcessTable(first)) << "reaped";
        EXPECT_TRUE(
            engine::statusText(*watchdog_).contains(QStringLiteral(", last exit: ") + cause));
        const std::string json = engine::statusJson(*watchdog_).toStdString();
        EXPECT_NE(json.find("\"lastExit\": \"" + cause.toStdString() + "\""), std::string::npos)
            << json;
        ASSERT_TRUE(waitWithEvents([&] { return !server.messages().empty(); }));
        const std::string body = server.messages().front().body();
        EXPECT_NE(body.find(" was restarted at: "), std::string::npos) << body;
        EXPECT_NE(body.find("\r\nLast exit: " + cause.toStdString() + "\r\n"), std::string::npos)
            << body;
        TearDown();
        SetUp();
    }
}

// A program that double-forks and leaves a child that outlives it: all of
// them come back to Perstando and none is left a zombie.
TEST_F(ExitCauseTest, OrphansOfAStartedProgramAreReaped) {
    const auto pids = folder_ / "pids";
    const auto script = folder_ / "forks";
    writeFile(script, "#!/bin/sh\necho $$ >> '" + pids.string() + "'\n( sleep 0.2 & echo $! >> '" +
                          pids.string() + "' )\nsleep 0.4 &\necho $! >> '" + pids.string() +
                          "'\nexit 0\n");
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    writeFile(folder_ / "settings.ini", "[exe2]\nname=Forks\npath=" + script.string() +
                                            "\ntimer=60000\ngiveup=1\ngiveupminutes=5\n");
    watchdog_ = std::make_unique<engine::Watchdog>(nullptr);
    auto &watcher = watchdog_->slotWatcher();
    watchdog_->start();
    watcher.tick(2); // started once; given up on after that
    ASSERT_TRUE(waitUntil([&] { return occurrences(readFile(pids), "\n") == 3; }));
    std::vector<pid_t> started;
    std::istringstream list(readFile(pids));
    for (pid_t pid = 0; list >> pid;) {
        started.push_back(pid);
    }
    const auto allReaped = [&] {
        watcher.tick(2);
        return std::none_of(started.begin(), started.end(), inProcessTable);
    };
    EXPECT_TRUE(waitWithEvents(allReaped, std::chrono::seconds(20)));
}

} // namespace
