// The metrics endpoint over real loopback sockets: what each request gets, the
// token guarding it, the bounds on connections, and where it listens.

#include "core/mail_secret.h"
#include "core/program_folder.h"
#include "engine/metrics_server.h"
#include "engine/shell_commands.h"
#include "tests/engine/program_folder_test.h"
#include "tests/engine/wait_with_events.h"
#include "tests/support/scoped_env.h"
#include "tests/support/secret_service.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <optional>

using namespace testing_support;

namespace {

/// One client connection; what the server sent is collected as it comes.
class Client {
public:
    explicit Client(quint16 port) {
        QObject::connect(&socket_, &QTcpSocket::readyRead, &socket_,
                         [this] { received_ += socket_.readAll(); });
        socket_.connectToHost(QHostAddress::LocalHost, port);
    }
    void send(const QByteArray &bytes) { socket_.write(bytes); }
    bool connected() const { return socket_.state() == QAbstractSocket::ConnectedState; }
    bool closed() const { return socket_.state() == QAbstractSocket::UnconnectedState; }
    /// Everything the server sent before it closed the connection.
    QByteArray untilClosed() {
        EXPECT_TRUE(waitWithEvents([this] { return closed(); }));
        return received_ + socket_.readAll();
    }

private:
    QTcpSocket socket_;
    QByteArray received_;
};

/// A reply: its status, its head (each line ending in CRLF) and its body.
struct Answer {
    explicit Answer(const QByteArray &raw)
        : status(raw.mid(9, 3).toInt()), head(raw.left(raw.indexOf("\r\n\r\n") + 2)),
          body(raw.mid(head.size() + 2)) {}
    QByteArray header(const QByteArray &name) const {
        const qsizetype at = head.indexOf("\r\n" + name + ": ");
        return at < 0 ? QByteArray() : head.mid(at).split('\r').value(1).mid(name.size() + 3);
    }
    int status;
    QByteArray head;
    QByteArray body;
};

quint16 freePort() {
    QTcpServer probe;
    EXPECT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
    return probe.serverPort();
}

Answer ask(quint16 port, const QByteArray &request) {
    Client client(port);
    client.send(request);
    return Answer(client.untilClosed());
}

const QByteArray Series = "perstando_up 1\n";
const QByteArray OpenMetricsType = "application/openmetrics-text; version=1.0.0; charset=utf-8";
const QByteArray TextType = "text/plain; version=0.0.4; charset=utf-8";

class MetricsServerTest : public ::testing::Test {
protected:
    void SetUp() override { core::setProgramFolderOverride(folder_.path().string()); }
    void TearDown() override {
        server_.reset();
        core::setProgramFolderOverride({});
    }

    /// Serves on a free loopback port; returns it.
    quint16 serve() {
        const quint16 port = freePort();
        server_->apply(QString::number(port));
        EXPECT_TRUE(server_->serving().has_value()) << log_.join(u'\n').toStdString();
        return port;
    }
    /// The answer once the token's lookup has answered.
    static Answer askSettled(quint16 port, const QByteArray &request) {
        std::optional<Answer> answer;
        EXPECT_TRUE(waitWithEvents([&] {
            answer = ask(port, request);
            return answer->status != 503 || answer->header("Retry-After").isEmpty();
        }));
        return *answer;
    }
    int logged(const QString &line) const { return static_cast<int>(log_.count(line)); }

    TempDir folder_;
    // No Secret Service answers: a token lives in its file.
    ScopedEnv bus_{"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (folder_ / "no-bus").string()};
    QStringList log_;
    std::unique_ptr<engine::MetricsServer> server_ = std::make_unique<engine::MetricsServer>(
        [](const QByteArray &accept) {
            return engine::MetricsServer::Body{
                accept.contains("openmetrics") ? OpenMetricsType : TextType, Series};
        },
        [this](const QString &line) { log_.append(line); });
};

TEST_F(MetricsServerTest, AnswersEachRequestWithItsStatus) {
    const quint16 port = serve();
    const QByteArray fill =
        "X-Fill: " + QByteArray(engine::MetricsServer::MaxHeadBytes, 'a') + "\r\n";
    const struct {
        QByteArray request;
        int status;
        QByteArray header;              ///< "Name: value" the answer carries
        std::optional<QByteArray> body; ///< nullopt: anything but the series
    } cases[] = {
        {"GET /metrics HTTP/1.1\r\nHost: x\r\nAccept: application/openmetrics-text\r\n\r\n", 200,
         "Content-Type: " + OpenMetricsType, Series},
        {"GET /metrics?name[]=up HTTP/1.0\r\n\r\n", 200, "Content-Type: " + TextType, Series},
        {"\r\nGET /metrics HTTP/1.1\r\nAccept: text/plain\r\n\r\n", 200, {}, Series},
        {"HEAD /metrics HTTP/1.1\r\n\r\n", 200,
         "Content-Length: " + QByteArray::number(Series.size()), QByteArray()},
        {"GET / HTTP/1.1\n\n", 200, "Content-Type: text/plain; charset=utf-8", {}},
        {"GET /metricsx HTTP/1.1\r\n\r\n", 404, {}, {}},
        {"POST /metrics HTTP/1.1\r\nContent-Length: 0\r\n\r\n", 405, "Allow: GET, HEAD", {}},
        {"GET /metrics\r\n\r\n", 400, {}, {}},
        {"GET /metrics HTTP/2.0\r\n\r\n", 400, {}, {}},
        {"GET /metrics HTTP/1.1\r\nno colon here\r\n\r\n", 400, {}, {}},
        {"GET /metrics HTTP/1.1\r\n folded: header\r\n\r\n", 400, {}, {}},
        {"GET /metrics HTTP/1.1\r\n" + fill, 431, {}, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.request.left(60).toStdString());
        const Answer answer = askSettled(port, c.request);
        EXPECT_EQ(answer.status, c.status);
        EXPECT_EQ(answer.header("Connection"), "close");
        if (!c.header.isEmpty()) {
            EXPECT_TRUE(answer.head.contains("\r\n" + c.header + "\r\n"))
                << answer.head.toStdString();
        }
        if (c.body) {
            EXPECT_EQ(answer.body, *c.body);
        } else {
            EXPECT_NE(answer.body, Series);
        }
    }
}

TEST_F(MetricsServerTest, AStoredTokenGuardsEveryRequest) {
    const quint16 port = serve();
    const std::filesystem::path file = folder_ / mailsecret::MetricsTokenFileName;
    const QString unreadable = QStringLiteral(
        "The metrics are not served: the token cannot be read: metrics-token can be read or "
        "changed by other users (mode 0644); chmod 600 metrics-token.");
    const QString holdsNone = QStringLiteral(
        "The metrics are not served: the token cannot be read: metrics-token holds no token.");
    const struct {
        const char *stored; ///< the file's line; nullptr: no file
        mode_t mode;
        const char *authorization; ///< nullptr: none sent
        int status;
    } cases[] = {
        {nullptr, 0, nullptr, 200},
        {nullptr, 0, "Bearer anything", 200},
        {"s3cret-Tok", 0600, "Bearer s3cret-Tok", 200},
        {"s3cret-Tok", 0600, "bearer   s3cret-Tok ", 200},
        {"s3cret-Tok", 0600, "Bearer s3cret-To", 401},
        {"s3cret-Tok", 0600, "Basic s3cret-Tok", 401},
        {"s3cret-Tok", 0600, nullptr, 401},
        {"exposed-Tok", 0644, "Bearer exposed-Tok", 503},
        {"exposed-Tok", 0644, nullptr, 503}, // read again: logged once
        {"", 0600, "Bearer anything", 503},  // the recipe's echo where openssl is missing
        {" \t ", 0600, nullptr, 503},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.stored ? c.stored : "-") + " / " +
                     (c.authorization ? c.authorization : "-"));
        std::filesystem::remove(file);
        if (c.stored) {
            writeFile(file, std::string(c.stored) + "\n");
            ::chmod(file.c_str(), c.mode);
        }
        server_->reloadToken();
        QByteArray request = "GET /metrics HTTP/1.1\r\n";
        if (c.authorization) {
            request += QByteArray("Authorization: ") + c.authorization + "\r\n";
        }
        const Answer answer = askSettled(port, request + "\r\n");
        EXPECT_EQ(answer.status, c.status);
        EXPECT_EQ(answer.body == Series, c.status == 200);
        EXPECT_EQ(answer.header("WWW-Authenticate"),
                  c.status == 401 ? "Bearer realm=\"perstando\"" : "");
        EXPECT_FALSE(answer.body.contains("Tok") || answer.head.contains("Tok"));
    }
    EXPECT_EQ(logged(unreadable), 1) << log_.join(u'\n').toStdString();
    EXPECT_EQ(logged(holdsNone), 1) << log_.join(u'\n').toStdString();
    EXPECT_FALSE(log_.join(u'\n').contains(u"-Tok"));

    // A keyring that does not answer holds the lookup for seconds: meanwhile
    // nothing is served, then the token in the file guards as before.
    SilentBus silent;
    ScopedEnv hung{"DBUS_SESSION_BUS_ADDRESS", silent.address()};
    writeFile(file, "s3cret-Tok\n");
    ::chmod(file.c_str(), 0600);
    server_->reloadToken();
    const Answer waiting = ask(port, "GET /metrics HTTP/1.1\r\n\r\n");
    EXPECT_EQ(waiting.status, 503);
    EXPECT_EQ(waiting.header("Retry-After"), "1");
    EXPECT_EQ(askSettled(port, "GET /metrics HTTP/1.1\r\n\r\n").status, 401);
    EXPECT_EQ(askSettled(port, "GET /metrics HTTP/1.1\r\nAuthorization: Bearer s3cret-Tok\r\n\r\n")
                  .status,
              200);
}

TEST_F(MetricsServerTest, BoundsOnConnectionsNeverHoldUpTheOthers) {
    const quint16 port = serve();
    askSettled(port, "GET / HTTP/1.1\r\n\r\n"); // the token's lookup is done
    constexpr int open = engine::MetricsServer::MaxConnections;
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < open; ++i) {
        clients.push_back(std::make_unique<Client>(port));
        ASSERT_TRUE(waitWithEvents([&] { return clients.back()->connected(); }));
    }
    // One more is answered, not turned away: at most the oldest silent one gives way.
    EXPECT_EQ(ask(port, "GET /metrics HTTP/1.1\r\n\r\n").body, Series);

    // All but the first and the last send now; the silent one does not hold them up.
    for (int i = 1; i + 1 < open; ++i) {
        clients[i]->send("GET /metrics HTTP/1.1\r\n\r\n");
    }
    for (int i = 1; i + 1 < open; ++i) {
        EXPECT_EQ(Answer(clients[i]->untilClosed()).body, Series) << i;
    }
    EXPECT_FALSE(clients.back()->closed()) << "dropped before its time was up";
    // Hundreds of idle connections starve no scrape.
    for (int i = 0; i < 300; ++i) {
        clients.push_back(std::make_unique<Client>(port));
    }
    for (int i = 0; i < 40; ++i) {
        EXPECT_EQ(ask(port, "GET /metrics HTTP/1.1\r\n\r\n").status, 200) << i;
    }
    EXPECT_EQ(clients[open - 1]->untilClosed(), QByteArray()) << "a silent client is only dropped";
}

TEST_F(MetricsServerTest, ListensOnlyWhereWrittenAndLogsEachProblemOnce) {
    const struct {
        const char *text;
        const char *address; ///< nullptr: refused
    } cases[] = {
        {"127.0.0.1:9464", "127.0.0.1:9464"},
        {"9464", "127.0.0.1:9464"},
        {" :9464 ", "127.0.0.1:9464"},
        {"LocalHost:1", "127.0.0.1:1"},
        {"[::1]:9464", "[::1]:9464"},
        {"0.0.0.0:65535", "0.0.0.0:65535"},
        {"", nullptr},
        {"9464x", nullptr},
        {"127.0.0.1:0", nullptr},
        {"127.0.0.1:65536", nullptr},
        {"127.0.0.1:+80", nullptr},
        {"::1:9464", nullptr},
        {"[127.0.0.1]:9464", nullptr},
        {"127.1:9464", nullptr},
        {"example.org:9464", nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        QString problem;
        const auto address =
            engine::MetricsServer::parseListen(QString::fromUtf8(c.text), &problem);
        EXPECT_EQ(address ? address->text().toStdString() : "-", c.address ? c.address : "-");
        EXPECT_EQ(problem.isEmpty(), c.address != nullptr) << problem.toStdString();
    }

    QTcpServer holder;
    ASSERT_TRUE(holder.listen(QHostAddress::LocalHost, 0));
    const quint16 port = holder.serverPort();
    const QString taken = QStringLiteral("127.0.0.1:%1").arg(port);
    const struct {
        QString listen;
        QString line;
    } failures[] = {
        {taken, QStringLiteral("The metrics are not served: %1: address in use.").arg(taken)},
        {QStringLiteral("192.0.2.1:9464"),
         QStringLiteral("The metrics are not served: 192.0.2.1:9464: address not available on "
                        "this machine.")},
        {QStringLiteral("metrics"),
         QStringLiteral("The metrics are not served: \"metrics\": not an address and port, such "
                        "as 127.0.0.1:9464.")},
    };
    for (const auto &f : failures) {
        for (int again = 0; again < 3; ++again) {
            server_->apply(f.listen); // tried each time, logged once
        }
        EXPECT_FALSE(server_->serving().has_value());
        EXPECT_EQ(logged(f.line), 1) << log_.join(u'\n').toStdString();
    }
    EXPECT_EQ(log_.size(), qsizetype(std::size(failures)));

    // Freed, the same address is taken at the next apply; an empty one lets it go.
    holder.close();
    server_->apply(taken);
    EXPECT_EQ(logged(QStringLiteral("The metrics are served at http://%1/metrics.").arg(taken)), 1);
    EXPECT_EQ(askSettled(port, "GET / HTTP/1.1\r\n\r\n").status, 200);
    server_->apply(QString());
    EXPECT_FALSE(server_->serving().has_value());
    EXPECT_EQ(logged(QStringLiteral("The metrics are no longer served.")), 1);
    ASSERT_TRUE(holder.listen(QHostAddress::LocalHost, port)) << "the port was let go";
}

TEST_F(MetricsServerTest, BeyondLoopbackNothingIsServedWithoutAToken) {
    const quint16 port = freePort();
    const QString everywhere = QStringLiteral("0.0.0.0:%1").arg(port);
    server_->apply(everywhere);
    EXPECT_EQ(askSettled(port, "GET /metrics HTTP/1.1\r\n\r\n").status, 503);
    EXPECT_EQ(log_, QStringList{QStringLiteral("The metrics are not served: %1 is not a loopback "
                                               "address and no token is stored.")
                                    .arg(everywhere)});
    writeFile(folder_ / mailsecret::MetricsTokenFileName, "s3cret-Tok\n");
    ::chmod((folder_ / mailsecret::MetricsTokenFileName).c_str(), 0600);
    server_->reloadToken();
    EXPECT_TRUE(waitWithEvents([&] {
        return ask(port, "GET / HTTP/1.1\r\nAuthorization: Bearer s3cret-Tok\r\n\r\n").status ==
               200;
    }));
    EXPECT_EQ(log_.last(),
              QStringLiteral("The metrics are served at http://%1/metrics.").arg(everywhere));
}

// A running watchdog, its window never shown, learns of a token stored or
// removed: the file at the next check, the keyring at --resume or a save of
// the settings.
class MetricsTokenWhileRunning : public ProgramFolderTest {};

TEST_F(MetricsTokenWhileRunning, AStoredOrRemovedTokenCountsWithoutARestart) {
    if (!SecretServiceSession::installed()) {
        GTEST_SKIP() << "gnome-keyring-daemon is not installed";
    }
    SecretServiceSession keyring;
    ScopedEnv bus("DBUS_SESSION_BUS_ADDRESS", keyring.address());
    const quint16 port = freePort();
    engine::SlotWatcher &watcher =
        start("[exe1]\nname=Kiosk\npath=" + program("kiosk").string() +
              "\ntimer=60000\n[metrics]\nlisten=" + std::to_string(port) + "\n");
    const auto answers = [&](int status) {
        return waitWithEvents(
            [&] { return ask(port, "GET /metrics HTTP/1.1\r\n\r\n").status == status; });
    };
    const auto file = folder_ / mailsecret::MetricsTokenFileName;
    writeFile(file, "file-Tok\n");
    ::chmod(file.c_str(), 0600);
    watcher.tick(1);
    EXPECT_TRUE(answers(401)) << "a file written";
    std::filesystem::remove(file);
    watcher.tick(1);
    EXPECT_TRUE(answers(200)) << "the file removed";
    std::vector<std::string> item = {"store",   "application", "perstando", "server",
                                     "metrics", "user",        "token",     "--label=metrics"};
    ASSERT_EQ(keyring.secretTool(item, "ring-Tok").status, 0);
    EXPECT_TRUE(engine::answerShellCommand(*watchdog_, QStringLiteral("resume")).ok);
    EXPECT_TRUE(answers(401)) << "a keyring item stored, then --resume";
    item.front() = "clear";
    item.pop_back();
    ASSERT_EQ(keyring.secretTool(item).status, 0);
    writeFile(folder_ / "settings.ini", readFile(folder_ / "settings.ini") + "; saved\n");
    watcher.tick(1);
    EXPECT_TRUE(answers(200)) << "the item cleared, then the settings saved";
}

} // namespace
