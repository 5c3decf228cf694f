// The metrics of a real watchdog: every named slot from the first second, a
// name that needs escaping, the restart counted by what brought it about, in
// both formats, each read by its own parser (promtool, the OpenMetrics parser
// of prometheus_client); and the format a scraper's Accept header asks for.

#include "engine/metrics.h"
#include "engine/shell_commands.h"
#include "engine/slot_watcher.h"
#include "engine/watch_counters.h"
#include "engine/watchdog.h"
#include "tests/engine/program_folder_test.h"

#include <QDateTime>
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <regex>

using namespace testing_support;

namespace {

/// The value of the one sample written exactly as `series`; nullopt when absent.
std::optional<double> valueOf(const std::string &text, const std::string &series) {
    const std::string start = series + ' ';
    for (std::size_t at = text.find(start); at != std::string::npos;
         at = text.find(start, at + 1)) {
        if (at == 0 || text[at - 1] == '\n') {
            return std::stod(text.substr(at + start.size()));
        }
    }
    return std::nullopt;
}

TEST(MetricsFormat, TheAcceptHeaderChoosesOpenMetricsOnlyWhenItIsPreferred) {
    struct Row {
        const char *accept;
        engine::MetricsFormat format;
    };
    using F = engine::MetricsFormat;
    const Row rows[] = {
        {"application/openmetrics-text;version=1.0.0,application/openmetrics-text;version=0.0.1;"
         "q=0.75,text/plain;version=0.0.4;q=0.5,*/*;q=0.1",
         F::OpenMetrics},
        {"", F::Prometheus},
        {"text/plain", F::Prometheus},
        {"*/*", F::Prometheus},
        {"Application/OpenMetrics-Text", F::OpenMetrics},
        {"application/openmetrics-text; version=0.0.1", F::OpenMetrics},
        {"application/openmetrics-text;version=2.0.0", F::Prometheus},
        {"text/plain;q=0.9, application/openmetrics-text;q=0.5", F::Prometheus},
        {"text/plain, application/openmetrics-text", F::Prometheus},
        {"application/openmetrics-text;q=0", F::Prometheus},
        {"application/openmetrics-text;q=nonsense", F::Prometheus},
        {"application/openmetrics-text, */*;q=0.1", F::OpenMetrics},
    };
    for (const Row &row : rows) {
        EXPECT_EQ(engine::metricsFormatFor(row.accept), row.format) << row.accept;
    }
    EXPECT_EQ(engine::metricsContentType(F::Prometheus),
              "text/plain; version=0.0.4; charset=utf-8");
    EXPECT_EQ(engine::metricsContentType(F::OpenMetrics),
              "application/openmetrics-text; version=1.0.0; charset=utf-8");
}

class MetricsTest : public ReapingFolderTest {};

TEST_F(MetricsTest, EveryNamedSlotIsThereFromTheStartAndARestartIsCounted) {
    const auto exe = program("quoted");
    Child byHand({exe.string()}, folder_.path());
    ASSERT_TRUE(waitUntil([&] { return pidsOf(exe).size() == 1; }));
    auto &watcher = start("[exe1]\nname=Say \"hi\" \\ there\npath=" + exe.string() +
                          "\ntimer=60000\n[exe2]\nname=Idle\npath=/bin/true\ntimer=60000\n"
                          "[exe3]\nname=Off\x1b]0;x\npath=/bin/true\ntimer=0\n");
    ASSERT_TRUE(watcher.refresh());
    const std::string one = "slot=\"1\",name=\"Say \\\"hi\\\" \\\\ there\"";
    const std::string two = "slot=\"2\",name=\"Idle\"";
    const std::string three = "slot=\"3\",name=\"Off\xef\xbf\xbd]0;x\"";
    const char *states[] = {"not_checked_yet", "not_checked", "running", "restarted",
                            "restart_failed",  "waiting",     "gave_up", "not_responding",
                            "unhealthy",       "over_limit",  "closed"};
    const char *reasons[] = {"gone", "not_responding", "unhealthy", "over_limit", "check"};
    const auto render = [&](engine::MetricsFormat format) {
        return engine::metricsText(*watchdog_, format).toStdString();
    };

    // Before any check: every series of a slot, none of its process.
    std::string text = render(engine::MetricsFormat::Prometheus);
    for (const std::string &slot : {one, two, three}) {
        EXPECT_EQ(valueOf(text, "perstando_slot_up{" + slot + "}"), 0) << slot << '\n' << text;
        double lit = 0;
        for (const char *state : states) {
            const auto value =
                valueOf(text, "perstando_slot_state{" + slot + ",state=\"" + state + "\"}");
            ASSERT_TRUE(value) << state << '\n' << text;
            lit += *value;
        }
        EXPECT_EQ(lit, 1) << slot;
        for (const char *reason : reasons) {
            EXPECT_EQ(valueOf(text, "perstando_slot_restarts_total{" + slot + ",reason=\"" +
                                        reason + "\"}"),
                      0);
        }
        EXPECT_EQ(valueOf(text, "perstando_slot_restart_failures_total{" + slot + "}"), 0);
    }
    EXPECT_EQ(valueOf(text, "perstando_slot_state{" + two + ",state=\"not_checked_yet\"}"), 1);
    EXPECT_EQ(valueOf(text, "perstando_slot_state{" + three + ",state=\"not_checked\"}"), 1);
    EXPECT_EQ(text.find("perstando_slot_resident_memory_bytes"), std::string::npos) << text;
    EXPECT_EQ(text.find("perstando_slot_last_restart_timestamp_seconds"), std::string::npos);
    EXPECT_EQ(valueOf(text, "perstando_paused"), 0);
    EXPECT_EQ(text.find("perstando_internet_up"), std::string::npos);
    for (const char *channel : {"mail", "webhook", "notify"}) {
        EXPECT_EQ(valueOf(text, std::string("perstando_alert_delivery_failures_total{channel=\"") +
                                    channel + "\"}"),
                  0);
    }
    EXPECT_EQ(valueOf(text, "perstando_build_info{version=\"" PERSTANDO_TEST_VERSION "\"}"), 1);

    // Found running, killed, started again by its check.
    watcher.tick(1);
    ASSERT_EQ(watcher.slotState(1).phase, engine::Phase::Running);
    byHand.stop(SIGKILL);
    const double killedAt = static_cast<double>(QDateTime::currentMSecsSinceEpoch()) / 1000;
    watcher.tick(1);
    ASSERT_EQ(watcher.slotState(1).phase, engine::Phase::Restarted);
    text = render(engine::MetricsFormat::Prometheus);
    EXPECT_EQ(valueOf(text, "perstando_slot_up{" + one + "}"), 1);
    EXPECT_EQ(valueOf(text, "perstando_slot_state{" + one + ",state=\"restarted\"}"), 1);
    EXPECT_EQ(valueOf(text, "perstando_slot_restarts_total{" + one + ",reason=\"gone\"}"), 1);
    EXPECT_EQ(valueOf(text, "perstando_slot_restarts_total{" + one + ",reason=\"check\"}"), 0);
    const auto restartedAt =
        valueOf(text, "perstando_slot_last_restart_timestamp_seconds{" + one + "}");
    ASSERT_TRUE(restartedAt) << text;
    EXPECT_GE(*restartedAt, killedAt - 1);
    // The start time is the new process's, in Unix seconds: not before the kill.
    const auto startedAt = valueOf(text, "perstando_slot_process_start_time_seconds{" + one + "}");
    ASSERT_TRUE(startedAt) << text;
    EXPECT_GE(*startedAt, killedAt - 1);
    EXPECT_LE(*startedAt, *restartedAt + 1);
    const std::string memory = "perstando_slot_resident_memory_bytes{" + one + "}";
    EXPECT_GT(valueOf(text, memory).value_or(0), 0);
    // As the check read it: a scrape walks no tree, which is gone by now.
    const pid_t restarted = watcher.rememberedProcess(1);
    ::kill(restarted, SIGKILL);
    ASSERT_TRUE(waitUntil([&] { return hasEnded(restarted); }));
    EXPECT_EQ(valueOf(render(engine::MetricsFormat::Prometheus), memory), valueOf(text, memory));
    EXPECT_TRUE(valueOf(text, "perstando_slot_cpu_seconds_total{" + one + "}")) << text;
    EXPECT_FALSE(valueOf(text, "perstando_slot_resident_memory_bytes{" + two + "}"));

    const auto file = folder_ / "metrics.prom";
    writeFile(file, text);
    if (shell("command -v promtool").status != 0) {
        GTEST_SKIP() << "promtool (Debian package prometheus) is not installed";
    }
    const ShellRun lint = shell("promtool check metrics < '" + file.string() + "'");
    EXPECT_EQ(lint.status, 0) << lint.output << text;
    EXPECT_EQ(lint.output, "") << text;

    text = render(engine::MetricsFormat::OpenMetrics);
    EXPECT_TRUE(text.ends_with("\n# EOF\n")) << text;
    EXPECT_EQ(valueOf(text, "perstando_slot_restarts_total{" + one + ",reason=\"gone\"}"), 1);
    for (const char *unit :
         {"perstando_slot_cpu_seconds seconds", "perstando_slot_resident_memory_bytes bytes",
          "perstando_slot_process_start_time_seconds seconds",
          "perstando_slot_last_restart_timestamp_seconds seconds"}) {
        EXPECT_NE(text.find(std::string("# UNIT ") + unit + '\n'), std::string::npos) << unit;
    }
    EXPECT_NE(text.find("# TYPE perstando_build info\n"), std::string::npos) << text;
    writeFile(file, text);
    // The parser reads every family and raises on what breaks the format.
    const ShellRun parsed = shell(
        "/usr/bin/python3 -c 'import sys; from prometheus_client.openmetrics.parser import "
        "text_string_to_metric_families as read; print(len(list(read(sys.stdin.read()))))' < '" +
        file.string() + "'");
    EXPECT_EQ(parsed.output, "11\n") << text;
}

TEST_F(MetricsTest, ARestartIsCountedForWhatBroughtItAbout) {
    using engine::Phase;
    using engine::RestartReason;
    struct Row {
        const char *what;
        std::optional<Phase> reported; ///< before the kill
        bool fromShell;
        bool backoff; ///< a wait comes between finding it gone and the restart
        RestartReason reason;
    };
    const Row rows[] = {
        {"found gone by its timer", std::nullopt, false, false, RestartReason::Gone},
        {"found gone by --check", std::nullopt, true, false, RestartReason::Check},
        {"not responding", Phase::NotResponding, false, false, RestartReason::NotResponding},
        {"unhealthy, checked from the shell", Phase::Unhealthy, true, false,
         RestartReason::Unhealthy},
        {"over its limit", Phase::OverLimit, false, false, RestartReason::OverLimit},
        {"unhealthy, after a back-off", Phase::Unhealthy, false, true, RestartReason::Unhealthy},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        const auto exe = program("reasons");
        qint64 nowMs = 0;
        auto &watcher = start("[exe2]\nname=Orders\npath=" + exe.string() + "\ntimer=60000\n" +
                              (row.backoff ? "backoff=5\n" : ""));
        watcher.setClock([&nowMs] { return nowMs; });
        ASSERT_TRUE(watcher.refresh());
        watcher.tick(2); // started: the first start is found gone too
        const engine::SlotCounts before = watchdog_->counters().slot(2);
        EXPECT_EQ(before.restartsFor(RestartReason::Gone), 1u);
        nowMs += 1000;
        if (row.reported == Phase::NotResponding) {
            watcher.reportNotResponding(2);
        } else if (row.reported) {
            watcher.reportUnhealthy(2, *row.reported, QStringLiteral("failing"));
        }
        ASSERT_TRUE(waitUntil([&] { return pidsOf(exe).size() == 1; }));
        const pid_t pid = pidsOf(exe).front();
        ::kill(pid, SIGKILL);
        ASSERT_TRUE(waitUntil([&] { return hasEnded(pid); }));
        if (row.fromShell) {
            const auto reply = engine::answerShellCommand(*watchdog_, QStringLiteral("check 2"));
            EXPECT_TRUE(reply.ok) << reply.text.toStdString();
        } else {
            watcher.tick(2);
        }
        if (row.backoff) {
            EXPECT_EQ(watcher.slotState(2).phase, Phase::Waiting);
            nowMs += 10'000;
            watcher.tick(2);
        }
        EXPECT_EQ(watcher.slotState(2).phase, Phase::Restarted);
        const engine::SlotCounts &after = watchdog_->counters().slot(2);
        for (const RestartReason reason : engine::RestartReasons) {
            const std::uint64_t expected =
                before.restartsFor(reason) + (reason == row.reason ? 1 : 0);
            EXPECT_EQ(after.restartsFor(reason), expected) << static_cast<int>(reason);
        }
        EXPECT_EQ(after.restartFailures, 0u);
        watchdog_.reset();
        killAll(exe);
    }
}

} // namespace
