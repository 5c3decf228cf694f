// The window ping against real windows on a server of its own, with and
// without a window manager: answers, a stopped program, and the windows that
// must never be judged.

#include "core/window_ping.h"
#include "tests/support/x_server.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

using namespace testing_support;
using namespace std::chrono_literals;
using windowping::WindowPing;

namespace {

TestWindowOptions pingWindow() {
    TestWindowOptions options;
    options.netName = "pinged";
    options.stay = true;
    options.answersPing = true;
    return options;
}

class WindowPingTest : public ::testing::TestWithParam<bool> {
protected:
    WindowPingTest() : server_(GetParam()), client_(server_.display()), ping_(server_.display()) {}

    /// A test window, waited for until the pinger can find it.
    std::unique_ptr<TestWindow> open(const TestWindowOptions &options) {
        auto window = std::make_unique<TestWindow>(server_.display(), options);
        const std::uint32_t id = window->id();
        EXPECT_NE(id, 0u) << "the test window did not start";
        if (GetParam()) {
            EXPECT_TRUE(waitUntil([&] { return listed(id); })) << "never managed";
        }
        return window;
    }

    bool listed(std::uint32_t id) {
        const auto stacking = client_.managedStacking();
        return std::find(stacking.begin(), stacking.end(), id) != stacking.end();
    }

    /// Pings `pid` until it has a window that answered every ping. The answer
    /// is looked for before the next ping: a ping sent after an answer waits
    /// again, and a slow window would never be seen between the two.
    bool answers(pid_t pid, std::chrono::milliseconds timeout = 10s) {
        return waitUntil(
            [&] {
                ping_.poll();
                if (answered(pid)) {
                    return true;
                }
                ping_.ping({pid});
                return false;
            },
            timeout);
    }

    bool answered(pid_t pid) const {
        const auto windows = ping_.windows(pid);
        return !windows.empty() && !windows.front().waitingSince && windows.front().lastAnswer;
    }

    XServer server_;
    XClient client_;
    WindowPing ping_;
};

TEST_P(WindowPingTest, AStoppedProgramStaysSilentUntilItIsContinued) {
    auto window = open(pingWindow());
    const pid_t pid = window->process().pid();
    ASSERT_TRUE(answers(pid)) << "the first ping was never answered";
    ASSERT_EQ(ping_.windows(pid).size(), 1u);
    EXPECT_EQ(ping_.windows(pid).front().window, window->id());
    EXPECT_EQ(ping_.silence(pid), windowping::Clock::duration::zero());

    ASSERT_EQ(::kill(pid, SIGSTOP), 0);
    // Pinging again while a ping waits must not restart the count, nor may
    // answers another client forges, stamped later than any ping sent.
    EXPECT_TRUE(waitUntil([&] {
        ping_.ping({pid});
        client_.forgePingAnswer(window->id(), 0xFFFFFFFFu);
        ping_.poll();
        return ping_.silence(pid).value_or(0s) >= 300ms;
    })) << "a stopped window never went silent";
    ASSERT_EQ(ping_.windows(pid).size(), 1u);
    EXPECT_TRUE(ping_.windows(pid).front().waitingSince);

    ASSERT_EQ(::kill(pid, SIGCONT), 0);
    EXPECT_TRUE(waitUntil([&] {
        ping_.poll();
        return ping_.silence(pid) == windowping::Clock::duration::zero();
    })) << "the continued window's answer did not clear the silence";
    EXPECT_TRUE(answers(pid)) << "a fresh ping after the silence was not answered";
}

TEST_P(WindowPingTest, WindowsThatCannotBeJudgedAreNeverPinged) {
    TestWindowOptions noPing = pingWindow();
    noPing.answersPing = false;
    TestWindowOptions elsewhere = pingWindow();
    elsewhere.machine = "some-other-host";
    auto withoutPing = open(noPing);
    auto remote = open(elsewhere);
    auto control = open(pingWindow());
    // Other clients naming a watched process, one with a window and one without.
    TestWindowOptions forged = pingWindow();
    forged.answersPing = false;
    forged.claimedPid = control->process().pid();
    auto forgerOfControl = open(forged);
    forged.claimedPid = ::getpid();
    auto forgerOfUs = open(forged);
    const std::vector<pid_t> pids{withoutPing->process().pid(), remote->process().pid(),
                                  control->process().pid(), ::getpid()};

    ASSERT_TRUE(waitUntil([&] {
        ping_.poll();
        if (answered(control->process().pid())) {
            return true;
        }
        ping_.ping(pids);
        return false;
    })) << "the control window never answered";
    // Our probe comes after any ping that was sent: once it is recorded, a
    // ping would have been too.
    for (TestWindow *window :
         {withoutPing.get(), remote.get(), forgerOfControl.get(), forgerOfUs.get()}) {
        client_.sendProbe(window->id());
        ASSERT_TRUE(window->waitFor("probe"));
        EXPECT_EQ(window->count("ping"), 0);
        EXPECT_FALSE(ping_.silence(window->process().pid()));
        EXPECT_TRUE(ping_.windows(window->process().pid()).empty());
    }
    EXPECT_FALSE(ping_.silence(::getpid())) << "a process without windows was judged";
    ASSERT_EQ(ping_.windows(control->process().pid()).size(), 1u);
    EXPECT_EQ(ping_.windows(control->process().pid()).front().window, control->id());
}

TEST_P(WindowPingTest, ToolkitWindowsThatAnswerAreNeverJudged) {
    // Qt and GTK answer with different event masks; both must be heard.
    const std::vector<std::vector<std::string>> programs{
        {PERSTANDO_QT_TEST_WINDOW}, {"/usr/bin/zenity", "--info", "--text=pinged"}};
    for (const auto &argv : programs) {
        Child program(argv, {},
                      {"DISPLAY=" + server_.display(), "QT_QPA_PLATFORM=xcb", "NO_AT_BRIDGE=1"});
        EXPECT_TRUE(answers(program.pid(), 30s)) << argv.front() << " was never heard answering";
        EXPECT_EQ(ping_.silence(program.pid()), windowping::Clock::duration::zero());
    }
}

TEST_P(WindowPingTest, ClosedWindowsAndAVanishedDisplayLeaveNothingJudged) {
    auto window = open(pingWindow());
    const pid_t pid = window->process().pid();
    ASSERT_TRUE(answers(pid));
    ASSERT_EQ(::kill(pid, SIGSTOP), 0);
    ping_.ping({pid});
    ASSERT_TRUE(ping_.windows(pid).front().waitingSince);
    // A window that is gone is no longer waited for, whatever it left unanswered.
    window->process().stop();
    EXPECT_TRUE(waitUntil([&] {
        ping_.ping({pid});
        return !ping_.silence(pid);
    })) << "still judged: "
        << ping_.windows(pid).size() << " window(s), process "
        << (window->process().running() ? "running" : "gone");

    auto again = open(pingWindow());
    const pid_t pidAgain = again->process().pid();
    ASSERT_TRUE(answers(pidAgain));
    ASSERT_EQ(::kill(pidAgain, SIGSTOP), 0);
    ping_.ping({pidAgain});
    ASSERT_TRUE(ping_.silence(pidAgain));
    server_.stop();
    ping_.ping({pidAgain});
    ping_.poll();
    EXPECT_FALSE(ping_.silence(pidAgain)) << "a window of a display that went away was judged";
    EXPECT_EQ(ping_.descriptor(), -1);
    ASSERT_EQ(::kill(pidAgain, SIGCONT), 0);

    server_.restart();
    TestWindow fresh(server_.display(), pingWindow());
    EXPECT_TRUE(answers(fresh.process().pid())) << "the pinger did not reconnect";
}

INSTANTIATE_TEST_SUITE_P(Desktop, WindowPingTest, ::testing::Values(false, true),
                         [](const auto &info) {
                             return info.param ? "WithWindowManager" : "WithoutWindowManager";
                         });

} // namespace
