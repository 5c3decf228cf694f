// The webhook sender against a real loopback HTTP receiver: what each format
// puts on the wire, which answers are retried, the queue's bound and order, and
// that no secret reaches a failure text; and how much of an answer each sender
// reads.

#include "engine/health_probe.h"
#include "engine/heartbeat.h"
#include "engine/webhook.h"
#include "tests/engine/wait_with_events.h"
#include "tests/support/http_receiver.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimeZone>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <utility>
#include <vector>

/// Lets failures print Qt text readably.
static void PrintTo(const QString &text, std::ostream *out) {
    *out << '"' << text.toStdString() << '"';
}

using namespace testing_support;
using engine::Alert;
using engine::WebhookFormat;
using engine::WebhookSender;
using engine::WebhookSettings;

namespace {

const QString Token = QStringLiteral("t0ken-Secret");
const QString Password = QStringLiteral("pa55-Secret");
const QString HostileName = QStringLiteral("Café \"Süd\"\n\tOst");

Alert restartFailed() {
    Alert alert;
    alert.kind = QStringLiteral("restart failed");
    alert.slot = 3;
    alert.name = HostileName;
    alert.time = QDateTime(QDate(2026, 3, 4), QTime(5, 6, 7, 89), QTimeZone(3600));
    alert.host = QStringLiteral("box");
    alert.sentence = HostileName + QStringLiteral(" could not be restarted.");
    alert.exitCause = QStringLiteral("killed by signal 9 (SIGKILL)");
    alert.output = {QStringLiteral("line <!channel>"), QStringLiteral("zwei & drei")};
    alert.urgent = true;
    return alert;
}

const QString MessageText =
    HostileName + QStringLiteral(" could not be restarted.\n"
                                 "Last exit: killed by signal 9 (SIGKILL)\n"
                                 "Last output:\nline <!channel>\nzwei & drei");

QJsonObject jsonBody(const HttpRequest &request) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(request.body, &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << request.body.toStdString();
    return document.object();
}

/// The text of a header made of RFC 2047 encoded words (or plain ASCII).
QString decodedHeader(const QByteArray &value) {
    if (!value.startsWith("=?")) {
        return QString::fromLatin1(value);
    }
    QByteArray utf8;
    for (const QByteArray &word : value.split(' ')) {
        EXPECT_TRUE(word.startsWith("=?UTF-8?B?") && word.endsWith("?=")) << word.toStdString();
        EXPECT_LE(word.size(), 75);
        utf8 += QByteArray::fromBase64(word.mid(10, word.size() - 12));
    }
    return QString::fromUtf8(utf8);
}

class Webhook : public ::testing::Test {
protected:
    void SetUp() override {
        QObject::connect(&sender, &WebhookSender::failed, &sender,
                         [this](const QString &reason) { failures.append(reason); });
        QObject::connect(&sender, &WebhookSender::delivered, &sender, [this] { ++delivered; });
        sender.setTimings(5000, 50, 50);
    }

    WebhookSettings settings(WebhookFormat format, const QString &url) const {
        WebhookSettings made;
        made.url = url;
        made.format = format;
        made.token = Token;
        return made;
    }

    HttpReceiver receiver;
    WebhookSender sender;
    QStringList failures;
    int delivered = 0;
};

struct FormatCase {
    const char *name;
    WebhookFormat format;
    std::function<Alert()> alert;
    QByteArray contentType;
    std::function<void(const HttpRequest &)> check;
};

TEST_F(Webhook, EachFormatPostsItsShapeWithTheToken) {
    const FormatCase cases[] = {
        {"json with nulls", WebhookFormat::Json, restartFailed, "application/json",
         [](const HttpRequest &request) {
             const QJsonObject body = jsonBody(request);
             EXPECT_EQ(body.size(), 10);
             EXPECT_EQ(body[u"kind"].toString(), QStringLiteral("restart failed"));
             EXPECT_EQ(body[u"slot"].toInt(), 3);
             EXPECT_EQ(body[u"name"].toString(), HostileName);
             EXPECT_EQ(body[u"time"].toString(), QStringLiteral("2026-03-04T05:06:07.089+01:00"));
             EXPECT_EQ(body[u"host"].toString(), QStringLiteral("box"));
             EXPECT_TRUE(body[u"pid"].isNull());
             EXPECT_EQ(body[u"sentence"].toString(), restartFailed().sentence);
             EXPECT_TRUE(body[u"detail"].isNull());
             EXPECT_EQ(body[u"exitCause"].toString(), restartFailed().exitCause);
             EXPECT_EQ(body[u"output"].toArray(),
                       QJsonArray::fromStringList(restartFailed().output));
         }},
        {"json with values", WebhookFormat::Json,
         [] {
             Alert alert;
             alert.kind = QStringLiteral("connection lost");
             alert.time = QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5), QTimeZone::utc());
             alert.pid = 4242;
             alert.detail = QStringLiteral("no answer");
             return alert;
         },
         "application/json",
         [](const HttpRequest &request) {
             const QJsonObject body = jsonBody(request);
             EXPECT_EQ(body[u"slot"].toInt(-1), 0);
             EXPECT_EQ(body[u"time"].toString(), QStringLiteral("2026-01-02T03:04:05.000+00:00"));
             EXPECT_EQ(body[u"pid"].toInt(), 4242);
             EXPECT_EQ(body[u"detail"].toString(), QStringLiteral("no answer"));
             EXPECT_TRUE(body[u"exitCause"].isNull());
             EXPECT_EQ(body[u"output"].toArray(), QJsonArray());
         }},
        {"ntfy", WebhookFormat::Ntfy, restartFailed, "text/plain; charset=utf-8",
         [](const HttpRequest &request) {
             const QByteArray title = request.header("Title");
             for (const char c : title) {
                 EXPECT_TRUE(c >= 0x20 && c < 0x7f) << title.toStdString();
             }
             EXPECT_EQ(decodedHeader(title), QStringLiteral("Perstando: Café \"Süd\"\tOst"));
             EXPECT_EQ(request.header("Priority"), "urgent");
             EXPECT_EQ(request.header("Tags"), "restart_failed");
             EXPECT_EQ(QString::fromUtf8(request.body), MessageText);
         }},
        {"ntfy, the watcher", WebhookFormat::Ntfy,
         [] {
             Alert alert;
             alert.kind = QStringLiteral("connection back");
             alert.name = QStringLiteral("ignored");
             alert.sentence = QStringLiteral("The connection is back.");
             return alert;
         },
         "text/plain; charset=utf-8",
         [](const HttpRequest &request) {
             EXPECT_EQ(request.header("Title"), "Perstando");
             EXPECT_EQ(request.header("Priority"), "default");
             EXPECT_EQ(request.header("Tags"), "connection_back");
             EXPECT_EQ(request.body, "The connection is back.");
         }},
        {"ntfy, a slot's long non-ASCII title", WebhookFormat::Ntfy,
         [] {
             Alert alert = restartFailed();
             alert.name = QString(40, QChar(0x00FC));
             return alert;
         },
         "text/plain; charset=utf-8",
         [](const HttpRequest &request) {
             EXPECT_EQ(decodedHeader(request.header("Title")),
                       QStringLiteral("Perstando: ") + QString(40, QChar(0x00FC)));
         }},
        {"slack", WebhookFormat::Slack, restartFailed, "application/json",
         [](const HttpRequest &request) {
             const QJsonObject body = jsonBody(request);
             EXPECT_EQ(body.keys(), QStringList{QStringLiteral("text")});
             QString expected = MessageText;
             expected.replace(u'&', QStringLiteral("&amp;"))
                 .replace(u'<', QStringLiteral("&lt;"))
                 .replace(u'>', QStringLiteral("&gt;"));
             EXPECT_EQ(body[u"text"].toString(), expected);
         }},
        {"gotify", WebhookFormat::Gotify, restartFailed, "application/json",
         [](const HttpRequest &request) {
             const QJsonObject body = jsonBody(request);
             EXPECT_EQ(body.size(), 3);
             EXPECT_EQ(body[u"title"].toString(), QStringLiteral("Perstando: ") + HostileName);
             EXPECT_EQ(body[u"message"].toString(), MessageText);
             EXPECT_EQ(body[u"priority"].toInt(), 8);
         }},
    };
    for (const FormatCase &row : cases) {
        SCOPED_TRACE(row.name);
        const std::size_t before = receiver.requests().size();
        sender.setSettings(settings(row.format, receiver.url(QStringLiteral("/hook/a?b=c"))));
        sender.send(row.alert());
        ASSERT_TRUE(waitWithEvents([&] { return receiver.requests().size() > before; }));
        const HttpRequest &request = receiver.requests().back();
        EXPECT_EQ(request.method, "POST");
        EXPECT_EQ(request.path, "/hook/a?b=c");
        EXPECT_EQ(request.header("Content-Type"), row.contentType);
        EXPECT_EQ(request.header("Authorization"), "Bearer " + Token.toUtf8());
        row.check(request);
    }
    EXPECT_TRUE(waitWithEvents([&] { return delivered == static_cast<int>(std::size(cases)); }));
    EXPECT_TRUE(failures.isEmpty()) << failures.join(u'\n').toStdString();
}

struct DeliveryCase {
    const char *name;
    QList<HttpAnswer> answers; ///< "{other}" in a location: the other receiver's port
    QString url;               ///< "{port}": the receiver's, "{closed}": one nobody listens on
    QString caFile;
    std::size_t requests;
    std::size_t otherRequests;
    bool delivered;
    QString failure; ///< the whole failure text; empty: none
};

/// A loopback port nobody listens on.
quint16 closedPort() {
    QTcpServer server;
    server.listen(QHostAddress::LocalHost);
    return server.serverPort();
}

TEST_F(Webhook, RetriesWhatMayPassAndFailsTheRestOnceWithoutSecrets) {
    HttpReceiver other;
    const QString withLogin = QStringLiteral("http://user:%1@127.0.0.1:{port}/hook").arg(Password);
    const DeliveryCase cases[] = {
        {"500 then 200", {500, 200}, withLogin, {}, 2, 0, true, {}},
        {"401 is final",
         {401},
         withLogin,
         {},
         1,
         0,
         false,
         QStringLiteral("webhook: HTTP 401 from 127.0.0.1 (Unauthorized)")},
        {"503 three times",
         {503},
         withLogin,
         {},
         3,
         0,
         false,
         QStringLiteral("webhook: HTTP 503 from 127.0.0.1 (Service Unavailable)")},
        {"a redirect on the same host is not followed",
         {{307, "/moved"}, 200},
         withLogin,
         {},
         1,
         0,
         false,
         QStringLiteral("webhook: HTTP 307 from 127.0.0.1 (redirects are not followed)")},
        {"a redirect to another host is not followed",
         {{307, "http://127.0.0.1:{other}/stolen"}},
         withLogin,
         {},
         1,
         0,
         false,
         QStringLiteral("webhook: HTTP 307 from 127.0.0.1 (redirects are not followed)")},
        {"a redirect loop is one failure",
         {{302, "/hook"}},
         withLogin,
         {},
         1,
         0,
         false,
         QStringLiteral("webhook: HTTP 302 from 127.0.0.1 (redirects are not followed)")},
        {"a closed port, three times",
         {},
         QStringLiteral("http://user:%1@127.0.0.1:{closed}/").arg(Password),
         {},
         0,
         0,
         false,
         QStringLiteral("webhook: Connection refused (127.0.0.1)")},
        {"no web address",
         {},
         QStringLiteral("ftp://user:%1@127.0.0.1/x").arg(Password),
         {},
         0,
         0,
         false,
         QStringLiteral("webhook: ftp://127.0.0.1/x is no http or https address")},
        {"an authority file that is missing",
         {},
         QStringLiteral("https://127.0.0.1:{port}/"),
         QStringLiteral("/nonexistent/ca.pem"),
         0,
         0,
         false,
         QStringLiteral("webhook: certificate authority file \"/nonexistent/ca.pem\" cannot be "
                        "read (No such file or directory)")},
    };
    const quint16 closed = closedPort();
    const auto filled = [&](QString text) {
        return text.replace(QStringLiteral("{port}"), QString::number(receiver.port()))
            .replace(QStringLiteral("{other}"), QString::number(other.port()))
            .replace(QStringLiteral("{closed}"), QString::number(closed));
    };
    for (const DeliveryCase &row : cases) {
        SCOPED_TRACE(row.name);
        HttpReceiver target;
        QList<HttpAnswer> answers;
        for (const HttpAnswer &answer : row.answers) {
            answers.append({answer.status, filled(QString::fromUtf8(answer.location)).toUtf8()});
        }
        target.setAnswers(answers);
        const std::size_t otherBefore = other.requests().size();
        failures.clear();
        delivered = 0;
        QString url = row.url;
        WebhookSettings chosen =
            settings(WebhookFormat::Json,
                     filled(url.replace(QStringLiteral("{port}"), QString::number(target.port()))));
        chosen.caFile = row.caFile;
        sender.setSettings(chosen);
        sender.send(restartFailed());
        ASSERT_TRUE(waitWithEvents([&] { return delivered + failures.size() > 0; }));
        // Room for a wrong further try to show itself.
        waitWithEvents([] { return false; }, std::chrono::milliseconds(300));
        EXPECT_EQ(target.requests().size(), row.requests);
        EXPECT_EQ(other.requests().size() - otherBefore, row.otherRequests);
        EXPECT_EQ(delivered, row.delivered ? 1 : 0);
        if (row.failure.isEmpty()) {
            EXPECT_TRUE(failures.isEmpty()) << failures.join(u'\n').toStdString();
        } else {
            ASSERT_EQ(failures.size(), 1);
            EXPECT_EQ(failures.first(), filled(row.failure));
            EXPECT_EQ(sender.lastFailure(), failures.first());
            EXPECT_TRUE(sender.lastFailureTime().isValid());
        }
        for (const QString &text : failures) {
            EXPECT_FALSE(text.contains(Token) || text.contains(Password)) << text.toStdString();
        }
    }
}

TEST_F(Webhook, AReceiverThatNeverAnswersIsTimedOutAndTriedThreeTimes) {
    receiver.hold(true);
    sender.setTimings(1000, 50, 50);
    sender.setSettings(settings(WebhookFormat::Json, receiver.url()));
    // Receiver and sender share this thread: a send() that waited would never return.
    sender.send(restartFailed());
    EXPECT_TRUE(receiver.requests().empty());
    ASSERT_TRUE(waitWithEvents([&] { return !failures.isEmpty(); }));
    EXPECT_EQ(receiver.requests().size(), 3U);
    EXPECT_EQ(failures,
              QStringList{QStringLiteral("webhook: 127.0.0.1 did not answer within 1 s")});
    EXPECT_EQ(delivered, 0);
}

TEST_F(Webhook, TheQueueKeepsTheNewestHundredInOrder) {
    receiver.hold(true);
    sender.setSettings(settings(WebhookFormat::Json, receiver.url()));
    for (int i = 1; i <= 105; ++i) {
        Alert alert = restartFailed();
        alert.name = QString::number(i);
        sender.send(alert);
    }
    EXPECT_EQ(sender.dropped(), 5);
    ASSERT_TRUE(waitWithEvents([&] { return !receiver.requests().empty(); }));
    // One at a time: the second waits for the first's answer.
    waitWithEvents([] { return false; }, std::chrono::milliseconds(200));
    EXPECT_EQ(receiver.requests().size(), 1U);
    receiver.hold(false);
    ASSERT_TRUE(waitWithEvents([&] { return delivered == 100; }));
    ASSERT_EQ(receiver.requests().size(), 100U);
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(jsonBody(receiver.requests()[i])[u"name"].toString(), QString::number(i + 6));
    }
    EXPECT_EQ(sender.dropped(), 5);
}

TEST_F(Webhook, TheTestIsOnePostWithTheAnswerTold) {
    receiver.setAnswers({500, 200});
    std::vector<std::pair<bool, QString>> told;
    const auto record = [&](bool ok, const QString &text) { told.emplace_back(ok, text); };
    sender.sendTest(settings(WebhookFormat::Json, receiver.url()), record);
    EXPECT_TRUE(told.empty());
    ASSERT_TRUE(waitWithEvents([&] { return told.size() == 1; }));
    sender.sendTest(settings(WebhookFormat::Json, receiver.url()), record);
    ASSERT_TRUE(waitWithEvents([&] { return told.size() == 2; }));
    EXPECT_EQ(
        told[0],
        std::make_pair(false, QStringLiteral("HTTP 500 from 127.0.0.1 (Internal Server Error)")));
    EXPECT_EQ(told[1], std::make_pair(true, QStringLiteral("HTTP 200 from 127.0.0.1")));
    ASSERT_EQ(receiver.requests().size(), 2U);
    EXPECT_EQ(jsonBody(receiver.requests()[0])[u"kind"].toString(), QStringLiteral("test"));
    EXPECT_TRUE(failures.isEmpty());
    EXPECT_TRUE(sender.lastFailure().isEmpty());
}

/// Answers every request with `status` and a body without end, written only
/// as fast as the client takes it, and up to Cap; notes how much was written
/// when the client closed.
class EndlessAnswer {
public:
    static constexpr qint64 Cap = qint64{64} << 20;

    explicit EndlessAnswer(const QByteArray &status) {
        server_.listen(QHostAddress::LocalHost);
        QObject::connect(&server_, &QTcpServer::newConnection, &server_, [this, status] {
            while (QTcpSocket *socket = server_.nextPendingConnection()) {
                socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, 64 * 1024);
                auto head = std::make_shared<QByteArray>();
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [=, this] {
                    const bool answered = head->contains("\r\n\r\n");
                    *head += socket->readAll();
                    if (!answered && head->contains("\r\n\r\n")) {
                        socket->write("HTTP/1.1 " + status +
                                      "\r\nContent-Type: text/plain\r\n\r\n");
                    }
                });
                QObject::connect(socket, &QTcpSocket::bytesWritten, socket,
                                 [this, socket](qint64 n) {
                                     written_ += n;
                                     if (socket->bytesToWrite() == 0 && written_ < Cap) {
                                         socket->write(QByteArray(64 * 1024, 'x'));
                                     }
                                 });
                QObject::connect(socket, &QTcpSocket::disconnected, socket, [this, socket] {
                    closedAfter_ = written_;
                    socket->deleteLater();
                });
            }
        });
    }
    QString url() const { return QStringLiteral("http://127.0.0.1:%1/").arg(server_.serverPort()); }
    qint64 written() const { return written_; }
    /// Bytes written before the client closed; -1 while it has not.
    qint64 closedAfter() const { return closedAfter_; }

private:
    QTcpServer server_;
    qint64 written_ = 0;
    qint64 closedAfter_ = -1;
};

// Every sender reads a bounded part of an answer, so a receiver that never
// ends its body costs neither memory nor the whole time-out.
TEST(BoundedReplies, AnAnswerWithoutEndIsCutOffSoonAfterItsStatus) {
    using Told = std::function<void(const QString &)>;
    struct Row {
        const char *sender;
        QByteArray status;
        /// Starts one request to `url`; what it returns lives until the row ends.
        std::function<std::shared_ptr<QObject>(const QString &url, Told told)> start;
        QString outcome; ///< its start
    };
    static constexpr int TimeoutMs = 20000;
    const Row rows[] = {
        {"webhook", "200 OK",
         [](const QString &url, Told told) {
             auto sender = std::make_shared<WebhookSender>();
             sender->setTimings(TimeoutMs, 50, 50);
             sender->sendTest({url, WebhookFormat::Json, {}, {}},
                              [told](bool, const QString &text) { told(text); });
             return sender;
         },
         QStringLiteral("HTTP 200 from 127.0.0.1")},
        {"heartbeat", "200 OK",
         [](const QString &url, Told told) {
             auto beat = std::make_shared<engine::Heartbeat>(
                 [] { return engine::HeartbeatState{}; }, [](const QString &) {});
             QObject::connect(beat.get(), &engine::Heartbeat::pinged, beat.get(),
                              [told](bool ok) { told(ok ? QStringLiteral("up") : QString()); });
             beat->setTimeoutMs(TimeoutMs);
             beat->apply(url, 60, QStringLiteral("GET"));
             return beat;
         },
         QStringLiteral("up")},
        {"health probe", "503 Service Unavailable",
         [](const QString &url, Told told) {
             auto probe = std::make_shared<engine::HealthProbe>();
             QObject::connect(probe.get(), &engine::HealthProbe::finished, probe.get(),
                              [told](const engine::ProbeResult &result) { told(result.reason); });
             engine::ProbeOptions options;
             options.timeout = std::chrono::milliseconds(TimeoutMs);
             probe->run(engine::parseProbe(url), options);
             return probe;
         },
         QStringLiteral("HTTP 503 from 127.0.0.1")},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.sender);
        EndlessAnswer receiver(row.status);
        std::optional<QString> outcome;
        const auto running =
            row.start(receiver.url(), [&](const QString &text) { outcome = text; });
        if (!waitWithEvents([&] { return outcome.has_value(); }, std::chrono::seconds(5))) {
            ADD_FAILURE() << "no outcome long before the time-out; " << receiver.written()
                          << " bytes written";
            continue;
        }
        EXPECT_TRUE(outcome->startsWith(row.outcome)) << outcome->toStdString();
        ASSERT_TRUE(waitWithEvents([&] { return receiver.closedAfter() >= 0; }));
        EXPECT_LT(receiver.closedAfter(), EndlessAnswer::Cap / 4);
    }
}

} // namespace
