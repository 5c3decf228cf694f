// Health probes and limits in the engine: failures count only after the grace
// and only in a row, the K-th one is reported once and, with the action, ends
// in the slot's ordinary restart; a pass or a new process starts the count
// over; a probe that hangs holds up no other slot; a port answered by another
// process, a stale heartbeat and a failing command are failures with their
// reasons; a program over its memory or CPU limit is restarted after K
// checks; and the graceful stop asks a real window to close before any
// signal.

#include "core/child_reaper.h"
#include "core/launcher.h"
#include "core/process_probe.h"
#include "engine/health_watch.h"
#include "engine/process_stop.h"
#include "engine/slot_watcher.h"
#include "engine/watchdog.h"
#include "tests/engine/program_folder_test.h"
#include "tests/engine/wait_with_events.h"
#include "tests/support/scoped_env.h"
#include "tests/support/test_support.h"
#include "tests/support/x_server.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

/// A port nothing listens on now.
quint16 unusedPort() {
    QTcpServer server;
    server.listen(QHostAddress::LocalHost);
    return server.serverPort();
}

/// Whether something accepts connections on the loopback `port`.
bool accepts(quint16 port) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(1000);
}

class HealthWatchTest : public ProgramFolderTest {
protected:
    /// Slot 2 watches `exe` with `keys`, checked only when the test says.
    engine::Watchdog &start(const std::filesystem::path &exe, const std::string &keys,
                            const std::string &more = {}) {
        writeFile(folder_ / "settings.ini", "[exe2]\nname=Orders\npath=" + exe.string() +
                                                "\ntimer=60000\n" + keys + more +
                                                "[log]\npath=" + log().string() + "\n");
        watchdog_ = std::make_unique<engine::Watchdog>();
        watchdog_->start();
        auto &watcher = watchdog_->slotWatcher();
        EXPECT_TRUE(watcher.refresh());
        watcher.tick(2); // started
        watcher.tick(2); // found running
        EXPECT_EQ(phase(), engine::Phase::Running);
        return *watchdog_;
    }
    /// One probe of slot `slot`, waited for.
    engine::ProbeResult probeOnce(int slot = 2) {
        auto &health = watchdog_->healthWatch();
        const QDateTime before =
            health.record(slot).last ? health.record(slot).last->at : QDateTime();
        health.probe(slot);
        EXPECT_TRUE(waitWithEvents(
            [&] { return health.record(slot).last && health.record(slot).last->at != before; },
            20s));
        return health.record(slot).last.value_or(engine::ProbeResult{});
    }
    int entries(const std::string &piece) const { return occurrences(readFile(log()), piece); }
    engine::Phase phase(int slot = 2) const {
        return watchdog_->slotWatcher().slotState(slot).phase;
    }
};

TEST_F(HealthWatchTest, TheKthFailureInARowIsReportedOnceAndThePassOrRestartStartsOver) {
    struct Case {
        const char *action;
        bool restarts;
    };
    for (const Case c : {Case{"healthaction=Restart\n", true}, Case{"", false}}) {
        SCOPED_TRACE(c.action);
        const quint16 port = unusedPort();
        const auto exe = program("server", "serve " + std::to_string(port));
        const std::string status = exe.string() + ".status";
        writeFile(status, "503\n");
        auto &watchdog = start(exe,
                               "health=http://127.0.0.1:" + std::to_string(port) +
                                   "/health\nhealthseconds=600\nhealthfailures=3\nhealthgrace=0\n",
                               c.action);
        ASSERT_TRUE(waitWithEvents([&] { return accepts(port); }));
        const auto &record = watchdog.healthWatch().record(2);
        const int first = watchdog.slotWatcher().rememberedProcess(2);
        ASSERT_NE(first, 0);
        // Two failures, then a pass: the count starts over.
        for (int i = 0; i < 2; ++i) {
            ASSERT_FALSE(probeOnce().healthy);
        }
        EXPECT_EQ(record.failures, 2);
        writeFile(status, "200\n");
        EXPECT_TRUE(probeOnce().healthy) << probeOnce().reason.toStdString();
        EXPECT_EQ(record.failures, 0);
        writeFile(status, "503\n");
        for (int i = 0; i < 2; ++i) {
            probeOnce();
        }
        EXPECT_EQ(phase(), engine::Phase::Running) << "reported before the third failure";
        const QString reason = probeOnce().reason;
        EXPECT_TRUE(
            reason.startsWith(QStringLiteral("HTTP 503 from 127.0.0.1:%1/health after ").arg(port)))
            << reason.toStdString();
        EXPECT_EQ(entries(",Orders is not healthy: " + reason.toStdString() + ".\n"), 1)
            << readFile(log());
        if (c.restarts) {
            ASSERT_TRUE(waitWithEvents([&] { return entries("has been restarted.") == 2; }, 20s))
                << readFile(log());
            const int second = watchdog.slotWatcher().rememberedProcess(2);
            EXPECT_NE(second, first);
            ASSERT_TRUE(waitWithEvents([&] { return accepts(port); }));
            EXPECT_FALSE(probeOnce().healthy);
            EXPECT_EQ(record.failures, 1) << "the restart did not start the count over";
        } else {
            probeOnce();
            EXPECT_EQ(phase(), engine::Phase::Unhealthy);
            EXPECT_TRUE(watchdog.slotWatcher().status(2).startsWith(u"Unhealthy: "));
            EXPECT_EQ(watchdog.slotWatcher().rememberedProcess(2), first);
            EXPECT_EQ(entries("is not healthy"), 1) << "reported more than once";
            EXPECT_EQ(entries("restarted"), 1) << "only the first start";
            writeFile(status, "200\n");
            probeOnce();
            EXPECT_EQ(entries(",Orders is healthy again.\n"), 1);
            EXPECT_EQ(phase(), engine::Phase::Running);
        }
        watchdog_.reset();
        killAll(exe);
        std::filesystem::remove(log());
    }
}

TEST_F(HealthWatchTest, NoFailureCountsWithinTheGrace) {
    const auto exe = program("starting");
    auto &watchdog =
        start(exe, "health=tcp://127.0.0.1:" + std::to_string(unusedPort()) +
                       "\nhealthseconds=600\nhealthfailures=1\nhealthaction=Restart\n");
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(probeOnce().healthy);
    }
    EXPECT_EQ(watchdog.healthWatch().record(2).failures, 0);
    EXPECT_EQ(phase(), engine::Phase::Running);
    EXPECT_EQ(entries("not healthy"), 0);
}

TEST_F(HealthWatchTest, EachKindOfFailureIsReportedWithItsReason) {
    QTcpServer squatter;
    ASSERT_TRUE(squatter.listen(QHostAddress::LocalHost));
    const std::string heartbeat = (folder_ / "heartbeat").string();
    writeFile(heartbeat, "");
    std::filesystem::last_write_time(heartbeat, std::filesystem::file_time_type::clock::now() -
                                                    std::chrono::minutes(5));
    struct Case {
        std::string health;
        std::string reason;
    };
    const Case cases[] = {
        {"tcp://127.0.0.1:" + std::to_string(squatter.serverPort()),
         "port " + std::to_string(squatter.serverPort()) + " is answered by another program"},
        {"file:" + heartbeat, "heartbeat file " + heartbeat},
        {"/bin/sh -c \"echo disk full; exit 2\"", "disk full"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.health);
        const auto exe = program("kinds");
        start(exe, "health=" + c.health + "\nhealthseconds=6\nhealthfailures=1\nhealthgrace=0\n");
        const auto result = probeOnce();
        EXPECT_FALSE(result.healthy);
        EXPECT_TRUE(result.reason.contains(QString::fromStdString(c.reason)))
            << result.reason.toStdString();
        EXPECT_EQ(entries(",Orders is not healthy: "), 1) << readFile(log());
        EXPECT_EQ(phase(), engine::Phase::Unhealthy);
        watchdog_.reset();
        std::filesystem::remove(log());
    }
}

TEST_F(HealthWatchTest, AProbeThatHangsHoldsUpNoOtherSlot) {
    const quint16 port = unusedPort();
    const auto server = program("stuck", "serve " + std::to_string(port));
    writeFile(server.string() + ".status", "hang\n");
    const auto other = program("quick");
    // Found running, not started: a program Perstando started just now waits
    // for its timer when it dies young.
    Child quick({other.string()});
    auto &watchdog =
        start(server,
              "health=http://127.0.0.1:" + std::to_string(port) +
                  "/\nhealthseconds=600\nhealthtimeout=30\nhealthgrace=0\n",
              "[exe3]\nname=Quick\npath=" + other.string() + "\ntimer=60000\nimmediate=On\n");
    auto &watcher = watchdog.slotWatcher();
    ASSERT_TRUE(waitWithEvents([&] { return pidsOf(other).size() == 1; }));
    watcher.tick(3);
    ASSERT_EQ(watcher.rememberedProcess(3), quick.pid());
    watchdog.healthWatch().probe(2);
    quick.stop();
    // Restarted at once, while slot 2's probe still waits for its answer.
    ASSERT_TRUE(waitWithEvents([&] { return entries(",Quick has been restarted.") == 1; }, 20s))
        << readFile(log());
    EXPECT_FALSE(watchdog.healthWatch().record(2).last) << "the probe did not hang";
}

TEST_F(HealthWatchTest, AProgramOverItsLimitIsRestartedAfterItsChecks) {
    struct Case {
        const char *mode;
        const char *keys;
        const char *reason;
    };
    for (const Case c :
         {Case{"grow 40", "maxmemory=30\n", "MiB, over its limit of 30 MiB for 2 checks"},
          Case{"busy", "maxcpu=40\n", "% of a core, over 40 % for 2 checks"}}) {
        SCOPED_TRACE(c.mode);
        const auto exe = program("hungry", c.mode);
        auto &watchdog = start(exe, std::string(c.keys) + "limitchecks=2\nlimitaction=Restart\n");
        auto &watcher = watchdog.slotWatcher();
        const int first = watcher.rememberedProcess(2);
        ASSERT_TRUE(waitWithEvents(
            [&] {
                if (entries("is not healthy") == 0) {
                    waitWithEvents([] { return false; }, 400ms);
                    watcher.tick(2);
                }
                return entries("has been restarted.") == 2;
            },
            30s))
            << readFile(log());
        EXPECT_EQ(entries(c.reason), 1) << readFile(log());
        EXPECT_NE(watcher.rememberedProcess(2), first);
        watchdog_.reset();
        killAll(exe);
        std::filesystem::remove(log());
    }
}

TEST(ProcessStopTest, AWindowIsAskedToCloseBeforeAnySignal) {
    XServer server;
    ScopedEnv display("DISPLAY", server.display());
    struct Case {
        bool acceptsDelete;
        const char *ending;
    };
    for (const Case c : {Case{true, "closed"}, Case{false, "term"}}) {
        SCOPED_TRACE(c.ending);
        TestWindowOptions options = titled("Stopping");
        options.acceptsDelete = c.acceptsDelete;
        TestWindow window(server.display(), options);
        ASSERT_NE(window.id(), 0u);
        processes::RememberedProcess process;
        process.remember(window.process().pid());
        engine::ProcessStop stop;
        bool ended = false;
        QObject::connect(&stop, &engine::ProcessStop::ended, [&] { ended = true; });
        engine::ProcessStop::Plan plan;
        plan.closeWindows = true;
        // A window that closes ends well before SIGTERM could come.
        plan.beforeTerm = c.acceptsDelete ? 600s : 300ms;
        ASSERT_TRUE(stop.begin(process, plan));
        ASSERT_TRUE(waitWithEvents([&] { return ended; }, 20s));
        EXPECT_EQ(window.count("closed"), c.acceptsDelete ? 1 : 0);
    }
}

// The stop ends the program's whole tree, not the program alone: a worker in
// its group, one in a session of its own and one it left to Perstando.
TEST(ProcessStopTest, TheStopEndsTheProgramsWholeTree) {
    ASSERT_TRUE(reaper::setChildSubreaper(true));
    TempDir dir;
    const auto worker = copyExecutable("/bin/sleep", dir.path(), uniqueName("worker"));
    const std::string mark = engine::SlotWatcher::orphanMark(3);
    const auto started = launcher::start(
        "/bin/sh",
        "-c \"$0 1000 & setsid $0 1000 & ($0 1000 &); exec sleep 1000\" " + worker.string(),
        dir.path().string(), {mark});
    ASSERT_TRUE(started.ok());
    ASSERT_TRUE(waitUntil([&] {
        std::error_code ec;
        return pidsOf(worker).size() == 3 &&
               std::filesystem::read_symlink("/proc/" + std::to_string(started.pid) + "/exe", ec)
                       .filename() == "sleep";
    }));
    processes::RememberedProcess process;
    process.remember(started.pid);
    engine::ProcessStop stop;
    bool ended = false;
    QObject::connect(&stop, &engine::ProcessStop::ended, [&] { ended = true; });
    engine::ProcessStop::Plan plan;
    plan.beforeKill = 2s;
    ASSERT_TRUE(stop.begin(process, plan, processes::childrenMarked(mark)));
    EXPECT_TRUE(waitWithEvents([&] { return ended && pidsOf(worker).empty(); }, 20s))
        << pidsOf(worker).size() << " workers left";
    killAll(worker);
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    reaper::setChildSubreaper(false);
}

} // namespace
