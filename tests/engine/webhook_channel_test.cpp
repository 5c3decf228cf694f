// The webhook as a channel of the event stream: a restart reaches it with how
// the program ended, the e-mail's span holds back a crash loop's restarts and
// the next alert counts them, its list of events is honoured, and a receiver
// that never answers holds back no restart.

#include "engine/metrics.h"
#include "engine/slot_watcher.h"
#include "engine/status_report.h"
#include "engine/webhook.h"
#include "tests/engine/program_folder_test.h"
#include "tests/engine/wait_with_events.h"
#include "tests/support/http_receiver.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <gtest/gtest.h>

#include <csignal>

using namespace testing_support;

namespace {

class WebhookChannelTest : public ReapingFolderTest {
protected:
    static QJsonObject json(const HttpRequest &request) {
        return QJsonDocument::fromJson(request.body).object();
    }
};

TEST_F(WebhookChannelTest, ACrashLoopIsOneAlertAndOneCountWithinTheSpan) {
    HttpReceiver receiver;
    const auto exe = program("looping");
    auto &watcher = start("[exe2]\nname=Orders\npath=" + exe.string() +
                          "\ntimer=60000\n[mail]\nminutes=1\n[webhook]\nurl=" +
                          receiver.url(QStringLiteral("/hook")).toStdString() + "\n");
    qint64 now = 1'000'000;
    watcher.setClock([&] { return now; });

    watcher.tick(2); // the first start is told too
    ASSERT_TRUE(waitWithEvents([&] { return receiver.requests().size() == 1; }));
    QJsonObject first = json(receiver.requests().front());
    EXPECT_EQ(first[u"kind"].toString(), u"restarted");
    EXPECT_EQ(first[u"slot"].toInt(), 2);
    EXPECT_EQ(first[u"name"].toString(), u"Orders");
    EXPECT_EQ(first[u"pid"].toInt(), pidsOf(exe).front());
    EXPECT_TRUE(first[u"exitCause"].isNull());

    for (int kill = 0; kill < 20; ++kill) {
        now += 1000;
        killAndCheck(watcher, exe);
    }
    EXPECT_FALSE(waitWithEvents([&] { return receiver.requests().size() > 1; },
                                std::chrono::milliseconds(300)))
        << "held back within the span";

    now += 60'000;
    killAndCheck(watcher, exe);
    ASSERT_TRUE(waitWithEvents([&] { return receiver.requests().size() == 2; }));
    const QJsonObject counted = json(receiver.requests().back());
    EXPECT_EQ(counted[u"exitCause"].toString(), u"killed by signal 9 (SIGKILL)");
    EXPECT_TRUE(counted[u"sentence"].toString().startsWith(
        u"Orders has been restarted.\nOrders was restarted 20 more times since "))
        << counted[u"sentence"].toString().toStdString();
    EXPECT_EQ(occurrences(logText(), "has been restarted."), 22) << "the log keeps every one";
}

TEST_F(WebhookChannelTest, OnlyTheListedEventsAreSentAndAWrongNameIsLoggedOnce) {
    HttpReceiver receiver;
    const auto exe = program("listed");
    auto &watcher = start("[exe2]\nname=Orders\npath=" + exe.string() +
                          "\ntimer=60000\ngiveup=2\ngiveupminutes=5\n[webhook]\nurl=" +
                          receiver.url().toStdString() + "\nevents=Gave Up, not healthy, bogus\n");
    watcher.tick(2);
    killAndCheck(watcher, exe);
    killAndCheck(watcher, exe); // the third start would pass the limit: gave up
    ASSERT_TRUE(waitWithEvents([&] { return receiver.requests().size() == 1; }));
    const QJsonObject gaveUp = json(receiver.requests().front());
    EXPECT_EQ(gaveUp[u"kind"].toString(), u"gave up");
    EXPECT_TRUE(gaveUp[u"sentence"].toString().contains(u"is no longer restarted"));
    watchdog_->reload();
    EXPECT_EQ(occurrences(logText(), "webhook: no such event: bogus"), 1) << logText();
}

// A receiver that takes the connection and never answers: restarts at once go
// on while its alerts wait, and the final failure and the alerts dropped from
// a full queue show in --status and its JSON.
TEST_F(WebhookChannelTest, AReceiverThatNeverAnswersHoldsNoRestartAndShowsInTheStatus) {
    HttpReceiver receiver;
    receiver.hold(true);
    const auto exe = program("unanswered");
    auto &watcher =
        start("[exe2]\nname=Orders\npath=" + exe.string() +
              "\ntimer=1000\nimmediate=On\n[webhook]\nurl=" + receiver.url().toStdString() + "\n");
    watchdog_->webhook().setTimings(400, 50, 50);
    EXPECT_NE(engine::statusText(*watchdog_).indexOf(u"webhook: no failure\n"), -1);

    ASSERT_TRUE(watcher.refresh()); // the panel's round sets the slot's timer going
    watcher.tick(2);
    for (int kill = 0; kill < 3; ++kill) {
        // Seen running by the timer: its end is no young death and is answered at once.
        ASSERT_TRUE(
            waitWithEvents([&] { return watcher.slotState(2).phase == engine::Phase::Running; }));
        const pid_t pid = watcher.slotState(2).pid;
        ::kill(pid, SIGKILL);
        ASSERT_TRUE(waitWithEvents([&] {
            const auto pids = pidsOf(exe);
            return pids.size() == 1 && pids.front() != pid;
        })) << "restart "
            << kill << " waited for the receiver";
    }
    ASSERT_FALSE(receiver.requests().empty());

    engine::Alert filler;
    filler.kind = QStringLiteral("restarted");
    for (int n = 0; n < engine::WebhookSender::QueueLimit + 2; ++n) {
        watchdog_->webhook().send(filler);
    }
    ASSERT_TRUE(waitWithEvents([&] { return !watchdog_->webhook().lastFailure().isEmpty(); }));
    const QString text = engine::statusText(*watchdog_);
    EXPECT_NE(text.indexOf(u"webhook: last failure at "), -1) << text.toStdString();
    EXPECT_NE(text.indexOf(u"did not answer within 0.4 s"), -1) << text.toStdString();
    // Those the restarts queued are still waiting behind the first: at least two go.
    const int dropped = watchdog_->webhook().dropped();
    EXPECT_GE(dropped, 2);
    EXPECT_NE(text.indexOf(QStringLiteral(", %1 alerts dropped\n").arg(dropped)), -1)
        << text.toStdString();
    const QJsonObject status =
        QJsonDocument::fromJson(engine::statusJson(*watchdog_)).object()[u"webhook"].toObject();
    EXPECT_TRUE(status[u"lastFailure"].toString().contains(u"did not answer"));
    EXPECT_FALSE(status[u"lastFailureTime"].isNull());
    EXPECT_EQ(status[u"dropped"].toInt(), dropped);
    EXPECT_GE(occurrences(logText(), "webhook: 127.0.0.1"), 1) << logText();
    // The metrics count both the alert given up on and those dropped.
    const QString metrics =
        QString::fromUtf8(engine::metricsText(*watchdog_, engine::MetricsFormat::Prometheus));
    const QRegularExpression failures(QStringLiteral(
        "\nperstando_alert_delivery_failures_total\\{channel=\"webhook\"\\} (\\d+)\n"));
    const QRegularExpressionMatch counted = failures.match(metrics);
    ASSERT_TRUE(counted.hasMatch()) << metrics.toStdString();
    EXPECT_GE(counted.captured(1).toInt(), dropped + 1) << metrics.toStdString();
}

} // namespace
