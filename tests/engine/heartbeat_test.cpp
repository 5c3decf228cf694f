// The heartbeat against a loopback receiver: what a ping carries, its pace,
// the state that turns it down, an outage told once each way, and the settings
// taken at every read.

#include "engine/heartbeat.h"
#include "tests/engine/program_folder_test.h"
#include "tests/engine/wait_with_events.h"
#include "tests/support/http_receiver.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <gtest/gtest.h>

#include <memory>
#include <vector>

using namespace testing_support;
using namespace std::chrono_literals;
using namespace Qt::StringLiterals;
using engine::Phase;

namespace {

/// The request's query items, names and values still encoded, in order.
QList<QPair<QString, QString>> queryOf(const HttpRequest &request) {
    QList<QPair<QString, QString>> items;
    const QString query = QString::fromLatin1(request.path).section(u'?', 1);
    for (const QString &item : query.split(u'&', Qt::SkipEmptyParts)) {
        items.append({item.section(u'=', 0, 0), item.section(u'=', 1)});
    }
    return items;
}

QString decodedMessage(const HttpRequest &request) {
    return QUrl::fromPercentEncoding(
        queryOf(request).value(queryOf(request).size() - 1).second.toLatin1());
}

class HeartbeatTest : public ReapingFolderTest {
protected:
    /// Started with a heartbeat to `receiver` at `path` every second, then `more` settings.
    engine::SlotWatcher &startBeating(const HttpReceiver &receiver, const std::string &path,
                                      const std::string &more = {}) {
        return start("[heartbeat]\nseconds=1\nurl=" +
                     receiver.url(QString::fromStdString(path)).toStdString() + "\n" + more);
    }
    bool waitForPings(const HttpReceiver &receiver, std::size_t count) {
        return waitWithEvents([&] { return receiver.requests().size() >= count; });
    }
    /// A fresh start for a table's next row: no watchdog, no log.
    void nextRow() {
        TearDown();
        std::filesystem::remove(log());
        SetUp();
    }
};

TEST_F(HeartbeatTest, APingCarriesTheStateAndKeepsTheAddressOwnQuery) {
    struct Row {
        const char *label;
        const char *method;
        bool paused;
        QByteArray sentAs;
        QString message;
    };
    const Row rows[] = {
        {"GET by default", "", false, "GET", QStringLiteral("1 program running")},
        {"POST in any case", "pOsT", false, "POST", QStringLiteral("1 program running")},
        {"an unknown method is GET", "PUT", false, "GET", QStringLiteral("1 program running")},
        {"paused stays up", "", true, "GET", QStringLiteral("checking paused; 1 program running")},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        HttpReceiver receiver;
        const auto exe = program("beating");
        auto &watcher =
            startBeating(receiver, "/ping/s3cret?x=1&status=old&msg=old&y=a%2Bb",
                         "method=" + std::string(row.method) +
                             "\n[exe1]\nname=Orders\npath=" + exe.string() + "\ntimer=60000\n");
        watcher.tick(1);
        watchdog_->setPaused(row.paused);
        const std::size_t before = receiver.requests().size();
        ASSERT_TRUE(waitForPings(receiver, before + 1));
        const HttpRequest &ping = receiver.requests().back();
        EXPECT_EQ(ping.method, row.sentAs);
        EXPECT_TRUE(ping.path.startsWith("/ping/s3cret?")) << ping.path.toStdString();
        const auto items = queryOf(ping);
        ASSERT_EQ(items.size(), 4) << ping.path.toStdString();
        EXPECT_EQ(items[0], qMakePair(QStringLiteral("x"), QStringLiteral("1")));
        EXPECT_EQ(items[1], qMakePair(QStringLiteral("y"), QStringLiteral("a%2Bb")));
        EXPECT_EQ(items[2], qMakePair(QStringLiteral("status"), QStringLiteral("up")));
        EXPECT_EQ(decodedMessage(ping), row.message);
        EXPECT_EQ(ping.body, row.sentAs == "POST" ? row.message.toUtf8() : QByteArray());
        watchdog_->reload();
        EXPECT_EQ(occurrences(logText(), "heartbeat: the method \"PUT\" is not known; GET is used"),
                  std::string(row.method) == "PUT" ? 1 : 0);
        nextRow();
    }
}

TEST_F(HeartbeatTest, AProgramThatGaveUpOrCannotBeStartedTurnsItDown) {
    HttpReceiver receiver;
    const auto exe = program("givingup");
    const QString kiosk = QStringLiteral("Kiosk & Co +1 ü=?%");
    auto &watcher = startBeating(
        receiver, "/down",
        "[exe2]\nname=Mailer\npath=" + exe.string() +
            "\ntimer=60000\ngiveup=2\ngiveupminutes=5\n[exe3]\nname=" + kiosk.toStdString() +
            "\npath=" + (folder_.path() / "missing").string() + "\ntimer=60000\n");
    watcher.tick(2);
    killAndCheck(watcher, exe);
    killAndCheck(watcher, exe);
    watcher.tick(3);
    ASSERT_EQ(watcher.slotState(2).phase, Phase::GaveUp);
    ASSERT_EQ(watcher.slotState(3).phase, Phase::RestartFailed);
    const std::size_t before = receiver.requests().size();
    ASSERT_TRUE(waitForPings(receiver, before + 1));
    const HttpRequest &ping = receiver.requests().back();
    EXPECT_EQ(queryOf(ping).value(0).second, u"down");
    const QString encoded = queryOf(ping).value(1).second;
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^[A-Za-z0-9._~%-]*$")).match(encoded).hasMatch())
        << encoded.toStdString();
    EXPECT_EQ(decodedMessage(ping), QStringLiteral("Mailer gave up; ") + kiosk +
                                        QStringLiteral(" could not be restarted"));
}

TEST_F(HeartbeatTest, TheStateIsDownForProblemsAndItsMessageIsBounded) {
    const QString longName(300, u'n');
    struct Row {
        std::vector<engine::SlotSummary> watched;
        bool paused;
        bool up;
        QString message;
    };
    const Row rows[] = {
        {{{u"A"_s, Phase::NotResponding}, {u"B"_s, Phase::Waiting}, {u"C"_s, Phase::NotCheckedYet}},
         false,
         true,
         QStringLiteral(
             "A is not responding; B waits to be restarted; 1 program running, 1 not checked yet")},
        {{{u"A"_s, Phase::Unhealthy}, {u"B"_s, Phase::OverLimit}, {u"C"_s, Phase::Running}},
         true,
         false,
         QStringLiteral("checking paused; A is not healthy; B is over its limit")},
        {{{longName, Phase::GaveUp}}, false, false, longName.left(199) + QChar(0x2026)},
    };
    for (const Row &row : rows) {
        const engine::HeartbeatState state = engine::heartbeatState(row.watched, row.paused);
        EXPECT_EQ(state.up, row.up) << row.message.toStdString();
        EXPECT_EQ(state.message, row.message);
    }
}

TEST_F(HeartbeatTest, PingsKeepTheirPaceAndOneThatHangsIsNotDoubled) {
    HttpReceiver receiver;
    startBeating(receiver, "/pace");
    ASSERT_TRUE(waitForPings(receiver, 3));
    const auto &requests = receiver.requests();
    for (std::size_t i = 1; i < requests.size(); ++i) {
        EXPECT_GE(requests[i].received - requests[i - 1].received, 500ms) << "ping " << i;
    }
    receiver.hold(true);
    const std::size_t held = receiver.requests().size() + 1;
    ASSERT_TRUE(waitForPings(receiver, held));
    EXPECT_FALSE(waitWithEvents([&] { return receiver.requests().size() > held; }, 3500ms))
        << "a ping was sent while one was pending";
    receiver.hold(false);
    EXPECT_TRUE(waitForPings(receiver, held + 1)) << "the pings go on once it is answered";
}

TEST_F(HeartbeatTest, AnOutageIsLoggedOnceAndItsEndOnce) {
    struct Row {
        const char *label;
        std::string failure;
        std::function<void(std::unique_ptr<HttpReceiver> &)> breakIt;
        std::function<void(std::unique_ptr<HttpReceiver> &)> heal;
    };
    quint16 port = 0;
    const Row rows[] = {
        {"refused", "failed: connection refused.", [](auto &r) { r.reset(); },
         [&port](auto &r) { r = std::make_unique<HttpReceiver>(port); }},
        {"HTTP 503", "failed: HTTP 503 (Service Unavailable).",
         [](auto &r) { r->setAnswers({503}); }, [](auto &r) { r->setAnswers({200}); }},
        {"no answer", "failed: no answer within 0.3 s.", [](auto &r) { r->hold(true); },
         [](auto &r) { r->hold(false); }},
        {"a redirect", "failed: HTTP 302 (redirects are not followed).",
         [](auto &r) {
             r->setAnswers({{302, "/ping/s3cret"}});
         },
         [](auto &r) { r->setAnswers({200}); }},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        auto receiver = std::make_unique<HttpReceiver>();
        port = receiver->port();
        startBeating(*receiver, "/ping/s3cret?k=s3cret");
        watchdog_->heartbeat().setTimeoutMs(300);
        QSignalSpy pinged(&watchdog_->heartbeat(), &engine::Heartbeat::pinged);
        ASSERT_TRUE(waitWithEvents([&] { return pinged.size() >= 1; }));
        row.breakIt(receiver);
        const auto failures = [&] {
            return std::count_if(pinged.begin(), pinged.end(),
                                 [](const QList<QVariant> &args) { return !args[0].toBool(); });
        };
        ASSERT_TRUE(waitWithEvents([&] { return failures() >= 3; }));
        row.heal(receiver);
        const qsizetype healed = pinged.size();
        ASSERT_TRUE(waitWithEvents(
            [&] { return pinged.size() >= healed + 2 && pinged.back()[0].toBool(); }));
        const std::string log = logText();
        EXPECT_EQ(occurrences(log, "The heartbeat to 127.0.0.1 " + row.failure), 1) << log;
        EXPECT_EQ(occurrences(log, "The heartbeat to 127.0.0.1 failed"), 1) << log;
        EXPECT_EQ(occurrences(log, "The heartbeat to 127.0.0.1 gets through again."), 1) << log;
        EXPECT_EQ(log.find("s3cret"), std::string::npos) << log;
        nextRow();
    }
}

TEST_F(HeartbeatTest, EachReadOfTheSettingsTakesEffect) {
    struct Row {
        const char *label;
        std::string heartbeat; ///< the [heartbeat] section read again
        bool toSecond;         ///< the pings go to the second receiver
        std::string logged;    ///< once, over two reads
    };
    HttpReceiver second;
    const Row rows[] = {
        {"no url stops it", "", false, {}},
        {"another url",
         "url=" + second.url(QStringLiteral("/two")).toStdString() + "\nseconds=1\n",
         true,
         {}},
        {"another scheme", "url=ftp://127.0.0.1/s3cret\n", false,
         "heartbeat: the address is no http or https address; nothing is sent"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        HttpReceiver first;
        startBeating(first, "/one");
        ASSERT_TRUE(waitForPings(first, 1));
        writeFile(folder_ / "settings.ini",
                  "[heartbeat]\n" + row.heartbeat + "[log]\npath=" + log().string() + "\n");
        const std::size_t firstCount = first.requests().size();
        const std::size_t secondCount = second.requests().size();
        watchdog_->reload();
        watchdog_->reload();
        waitWithEvents([] { return false; }, 2500ms);
        EXPECT_LE(first.requests().size(), firstCount + 1) << "at most one was under way";
        EXPECT_EQ(second.requests().size() > secondCount, row.toSecond);
        if (!row.logged.empty()) {
            EXPECT_EQ(occurrences(logText(), row.logged), 1) << logText();
        }
        EXPECT_EQ(logText().find("s3cret"), std::string::npos);
        nextRow();
    }
}

} // namespace
