// The webhook as a channel of the event stream: a restart reaches it with how
// the program ended, the e-mail's span holds back a crash loop's restarts and
// the next alert counts them, and its list of events is honoured.

#include "engine/slot_watcher.h"
#include "engine/webhook.h"
#include "tests/engine/program_folder_test.h"
#include "tests/engine/wait_with_events.h"
#include "tests/support/http_receiver.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

#include <csignal>

using namespace testing_support;

namespace {

class WebhookChannelTest : public ReapingFolderTest {
protected:
    /// Kills the slot's program and lets the check restart it.
    void killAndCheck(engine::SlotWatcher &watcher, const std::filesystem::path &exe) {
        ASSERT_TRUE(waitUntil([&] { return pidsOf(exe).size() == 1; }));
        const pid_t pid = pidsOf(exe).front();
        ::kill(pid, SIGKILL);
        ASSERT_TRUE(waitUntil([&] { return hasEnded(pid); }));
        watcher.tick(2);
    }
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

} // namespace
