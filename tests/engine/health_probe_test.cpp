// Health probes against real things: a loopback HTTP/TCP server of the test's
// own, heartbeat files and FIFOs, real commands, and the owner of a port.

#include "engine/health_probe.h"
#include "tests/engine/wait_with_events.h"

#include <QFile>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <optional>

using namespace testing_support;
using namespace std::chrono_literals;
using engine::ParsedProbe;

namespace {

/// Answers every request on 127.0.0.1 with `response`; an empty one never answers.
class HttpServer {
public:
    HttpServer() { server_.listen(QHostAddress::LocalHost); }
    quint16 port() const { return server_.serverPort(); }
    /// Called with the listening server as each connection is taken.
    std::function<void(QTcpServer &)> accepted;
    void answer(const QByteArray &response, bool close = true) {
        QObject::connect(&server_, &QTcpServer::newConnection, &server_, [this, response, close] {
            while (QTcpSocket *socket = server_.nextPendingConnection()) {
                if (accepted) {
                    accepted(server_);
                }
                QObject::connect(socket, &QTcpSocket::readyRead, socket,
                                 [socket, response, close, request = QByteArray()]() mutable {
                                     request += socket->readAll();
                                     if (!request.contains("\r\n\r\n") || response.isEmpty()) {
                                         return;
                                     }
                                     socket->write(response);
                                     if (close) {
                                         socket->disconnectFromHost();
                                     }
                                 });
            }
        });
    }

private:
    QTcpServer server_;
};

QByteArray http(const QByteArray &status, const QByteArray &body, const QByteArray &extra = {}) {
    return "HTTP/1.1 " + status + "\r\nContent-Length: " + QByteArray::number(body.size()) +
           "\r\n" + extra + "Connection: close\r\n\r\n" + body;
}

std::optional<engine::ProbeResult> probe(const QString &text, const engine::ProbeOptions &options) {
    const ParsedProbe parsed = engine::parseProbe(text);
    EXPECT_EQ(parsed.error, QString()) << text.toStdString();
    engine::HealthProbe probe;
    std::optional<engine::ProbeResult> result;
    int told = 0;
    QObject::connect(&probe, &engine::HealthProbe::finished, &probe,
                     [&](const engine::ProbeResult &r) {
                         result = r;
                         ++told;
                     });
    EXPECT_TRUE(probe.run(parsed, options));
    EXPECT_EQ(told, 0) << "finished from within run()";
    EXPECT_TRUE(waitWithEvents([&] { return told > 0; }, options.timeout + 10s))
        << text.toStdString();
    QCoreApplication::processEvents();
    EXPECT_EQ(told, 1);
    EXPECT_FALSE(probe.busy());
    return result;
}

void expectResult(const std::optional<engine::ProbeResult> &result, bool healthy,
                  const QString &pattern, const std::string &row) {
    ASSERT_TRUE(result.has_value()) << row;
    EXPECT_EQ(result->healthy, healthy) << row << ": " << result->reason.toStdString();
    EXPECT_TRUE(QRegularExpression(QLatin1Char('^') + pattern + QLatin1Char('$'))
                    .match(result->reason)
                    .hasMatch())
        << row << ": " << result->reason.toStdString() << " !~ " << pattern.toStdString();
}

TEST(HealthProbe, ParsesEachKindAndNamesWhatIsWrong) {
    struct Row {
        const char *text;
        ParsedProbe::Kind kind;
        const char *error; // empty: good
        const char *host = "";
        int port = 0;
        const char *pathOrWords = "";
    };
    using K = ParsedProbe::Kind;
    const Row rows[] = {
        {"", K::None, ""},
        {" http://127.0.0.1:8080/health ", K::Http, "", "127.0.0.1", 8080, "/health"},
        {"HTTPS://example.org", K::Http, "", "example.org", 443, "/"},
        {"http://u:p@[::1]/x?y=1", K::Http, "", "::1", 80, "/x"},
        {"tcp://[::1]:5432", K::Tcp, "", "::1", 5432},
        {"tcp://db.local:5432/", K::Tcp, "", "db.local", 5432},
        {"file:/run/app/beat", K::File, "", "", 0, "/run/app/beat"},
        {"file:///run/app/b%20eat", K::File, "", "", 0, "/run/app/b eat"},
        {"file:beat", K::File, "", "", 0, "beat"},
        {R"("/opt/my app/check" --quick "a b")", K::Command, "", "", 0,
         "/opt/my app/check|--quick|a b"},
        {"http://:80/", K::Http, R"("http://:80/" has no host)"},
        {"http://user:pw@/", K::Http, R"("http://user:pw@/" has no host)"},
        {"http://h:70000/", K::Http,
         R"("http://h:70000/" has port "70000", not a number from 1 to 65535)"},
        {"https://h:0", K::Http, R"("https://h:0" has port "0", not a number from 1 to 65535)"},
        {"http://a b/", K::Http, R"("http://a b/" is not a valid address)"},
        {"http:/h/", K::Http, R"("http:/h/" is not a valid address: write http://HOST:PORT)"},
        {"tcp://h", K::Tcp, R"("tcp://h" has no port)"},
        {"tcp://h:+22", K::Tcp, R"("tcp://h:+22" has port "+22", not a number from 1 to 65535)"},
        {"tcp://h:22/x", K::Tcp, R"("tcp://h:22/x" has more than a host and a port)"},
        {"file:", K::File, R"("file:" names no file)"},
        {"file://elsewhere/x", K::File, R"("file://elsewhere/x" is not a file on this computer)"},
        {R"(check "half)", K::Command, R"("check "half" has a double quote that is not closed)"},
        {R"("" --flag)", K::Command, R"(""" --flag" names no program)"},
        {"ftp://h/x", K::None,
         R"("ftp://h/x" is no probe Perstando knows: use http://, https://, tcp://, file: or a command)"},
    };
    for (const Row &row : rows) {
        const ParsedProbe parsed = engine::parseProbe(QString::fromUtf8(row.text));
        SCOPED_TRACE(row.text);
        EXPECT_EQ(parsed.kind, row.kind);
        EXPECT_EQ(parsed.error, QString::fromUtf8(row.error));
        if (*row.error != '\0') {
            engine::HealthProbe probe;
            EXPECT_FALSE(probe.run(parsed, {}));
            continue;
        }
        EXPECT_EQ(parsed.host, QString::fromUtf8(row.host));
        EXPECT_EQ(parsed.port, row.port);
        const QString expected = QString::fromUtf8(row.pathOrWords);
        EXPECT_EQ(row.kind == K::Command ? parsed.words.join(u'|') : parsed.path, expected);
    }
}

TEST(HealthProbe, JudgesHttpAndTcpAnswers) {
    QTcpServer closed;
    closed.listen(QHostAddress::LocalHost);
    const quint16 refusedPort = closed.serverPort();
    closed.close();
    const QByteArray far = QByteArray(70 * 1024, 'x') + "ready";
    struct Row {
        const char *name;
        QByteArray response; // empty: never answers
        const char *probe;   // %1: the port
        const char *expect;
        bool healthy;
        const char *reason; // %1: the port
        bool close = true;
    };
    const Row rows[] = {
        {"ok", http("200 OK", "fine"), "http://127.0.0.1:%1/health", "", true,
         R"(HTTP 200 from 127\.0\.0\.1:%1/health after \d+\.\d s)"},
        {"error", http("503 Unavailable", "busy"), "http://127.0.0.1:%1/health", "", false,
         R"(HTTP 503 from 127\.0\.0\.1:%1/health after \d+\.\d s)"},
        {"redirect not followed", http("302 Found", "", "Location: http://127.0.0.1:1/\r\n"),
         "http://127.0.0.1:%1/", "", true, R"(HTTP 302 from 127\.0\.0\.1:%1/ after \d+\.\d s)"},
        {"text found", http("200 OK", "state: ready\n"), "http://127.0.0.1:%1/", "ready", true,
         R"(HTTP 200 from 127\.0\.0\.1:%1/ after \d+\.\d s)"},
        {"text missing", http("200 OK", "starting"), "http://127.0.0.1:%1/", "ready", false,
         R"(the answer from 127\.0\.0\.1:%1/ does not contain "ready")"},
        {"text past 64 KiB", http("200 OK", far), "http://127.0.0.1:%1/", "ready", false,
         R"(the answer from 127\.0\.0\.1:%1/ does not contain "ready" in its first 64 KiB)"},
        {"text in an endless answer", "HTTP/1.1 200 OK\r\n\r\nready", "http://127.0.0.1:%1/",
         "ready", true, R"(HTTP 200 from 127\.0\.0\.1:%1/ after \d+\.\d s)", false},
        {"silent",
         {},
         "http://127.0.0.1:%1/health",
         "",
         false,
         R"(no answer from 127\.0\.0\.1:%1/health within 1 s)"},
        {"tcp",
         {},
         "tcp://127.0.0.1:%1",
         "",
         true,
         R"(127\.0\.0\.1:%1 accepted the connection after \d+\.\d s)"},
    };
    for (const Row &row : rows) {
        HttpServer server;
        server.answer(row.response, row.close);
        engine::ProbeOptions options;
        options.timeout = 1s;
        options.expectText = QString::fromUtf8(row.expect);
        const QString port = QString::number(server.port());
        expectResult(probe(QString::fromUtf8(row.probe).arg(port), options), row.healthy,
                     QString::fromUtf8(row.reason).arg(port), row.name);
    }
    for (const char *text : {"http://127.0.0.1:%1/", "tcp://127.0.0.1:%1"}) {
        const QString port = QString::number(refusedPort);
        expectResult(probe(QString::fromUtf8(text).arg(port), {}), false,
                     QStringLiteral(R"(127\.0\.0\.1:%1 refused the connection)").arg(port), text);
    }
}

TEST(HealthProbe, JudgesHeartbeatFiles) {
    TempDir dir;
    const QString fresh = QString::fromStdString((dir / "fresh").string());
    const QString stale = QString::fromStdString((dir / "stale").string());
    const QString fifo = QString::fromStdString((dir / "fifo").string());
    writeFile(dir / "fresh", "x");
    writeFile(dir / "stale", "x");
    QFile staleFile(stale);
    ASSERT_TRUE(staleFile.open(QIODevice::ReadWrite));
    ASSERT_TRUE(staleFile.setFileTime(QDateTime::currentDateTime().addSecs(-95),
                                      QFileDevice::FileModificationTime));
    staleFile.close();
    ASSERT_EQ(::mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);
    struct Row {
        QString text;
        bool healthy;
        QString reason;
    };
    const Row rows[] = {
        {QStringLiteral("file:fresh"), true,
         QStringLiteral("heartbeat file %1 changed \\d+ s ago").arg(fresh)},
        {QStringLiteral("file:") + stale, false,
         QStringLiteral("heartbeat file %1 last changed 9[5-9] s ago").arg(stale)},
        {QStringLiteral("file:") + fifo, false,
         QStringLiteral("heartbeat file %1 is not a regular file").arg(fifo)},
        {QStringLiteral("file:") + fresh + QStringLiteral(".gone"), false,
         QStringLiteral("heartbeat file %1.gone does not exist or cannot be reached").arg(fresh)},
    };
    for (const Row &row : rows) {
        engine::ProbeOptions options;
        options.heartbeatAge = 30s;
        options.workingDirectory = QString::fromStdString(dir.path().string());
        expectResult(probe(row.text, options), row.healthy, row.reason, row.text.toStdString());
    }
}

TEST(HealthProbe, RunsCommandsWithoutAShell) {
    TempDir dir;
    const QString folder = QString::fromStdString(dir.path().string());
    const QString pidFile = folder + QStringLiteral("/pid");
    struct Row {
        QString text;
        bool healthy;
        QString reason;
    };
    const Row rows[] = {
        {QStringLiteral(R"(/bin/sh -c "exit 3")"), false, QStringLiteral("exit status 3")},
        {QStringLiteral(R"(/bin/sh -c "echo; echo broken; echo more; exit 1")"), false,
         QStringLiteral("exit status 1: broken")},
        {QStringLiteral("pwd"), true, QStringLiteral("exit status 0: ") + folder},
        // Far more output than a pipe holds: read and dropped, the first line cut.
        {QStringLiteral(R"(/bin/sh -c "head -c 300000 /dev/zero | tr '\0' a; exit 4")"), false,
         QStringLiteral("exit status 4: a{197}\\.\\.\\.")},
        {QStringLiteral(R"(/bin/sh -c "sleep 30 & echo $! > %1; wait")").arg(pidFile), false,
         QStringLiteral("did not finish within 1 s")},
        {QStringLiteral("/nonexistent/probe --x"), false,
         QStringLiteral(R"(cannot start "/nonexistent/probe": .+)")},
    };
    for (const Row &row : rows) {
        engine::ProbeOptions options;
        options.timeout = 1s;
        options.workingDirectory = folder;
        expectResult(probe(row.text, options), row.healthy, row.reason, row.text.toStdString());
    }
    // The command that ran too long is gone, and what it started with it.
    const pid_t sleeper = std::stoi(readFile(dir / "pid"));
    EXPECT_TRUE(waitWithEvents([&] { return ::kill(sleeper, 0) != 0; }));
}

// A command ends with all it started, a process in a session of its own
// included, however it ends; one that prints without end is not read to it.
TEST(HealthProbe, ACommandLeavesNothingBehindAndIsNotReadWithoutEnd) {
    TempDir dir;
    struct Row {
        QString text;
        std::chrono::milliseconds timeout;
        bool healthy;
        QString reason;
    };
    const QString forks = QStringLiteral(R"(/bin/sh -c "setsid sleep 300 & echo $! > pid; %1")");
    const Row rows[] = {
        {forks.arg(QStringLiteral("echo ok")), 5s, true, QStringLiteral("exit status 0: ok")},
        {forks.arg(QStringLiteral("kill -TERM $$")), 5s, false,
         QStringLiteral("ended by signal 15")},
        {forks.arg(QStringLiteral("sleep 30")), 1s, false,
         QStringLiteral("did not finish within 1 s")},
        {QStringLiteral("yes"), 3s, false, QStringLiteral("printed more than 1 MiB of output: y")},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.text.toStdString());
        std::filesystem::remove(dir / "pid");
        engine::ProbeOptions options;
        options.timeout = row.timeout;
        options.workingDirectory = QString::fromStdString(dir.path().string());
        expectResult(probe(row.text, options), row.healthy, row.reason, row.text.toStdString());
        if (!std::filesystem::exists(dir / "pid")) {
            continue;
        }
        const pid_t left = std::stoi(readFile(dir / "pid"));
        EXPECT_TRUE(waitWithEvents([&] { return ::kill(left, 0) != 0; }, 5s))
            << "PID " << left << " outlived the probe";
        ::kill(left, SIGKILL);
    }
}

TEST(HealthProbe, FailsWhenThePortBelongsToAnotherProgram) {
    Child other({"/bin/sleep", "30"});
    HttpServer server;
    server.answer(http("200 OK", "fine"));
    const QString port = QString::number(server.port());
    const QString foreign = QStringLiteral("port %1 is answered by another program: .+, PID %2")
                                .arg(port)
                                .arg(::getpid());
    struct Row {
        const char *probe;
        int ownerPid;
        bool healthy;
        QString reason;
    };
    const Row rows[] = {
        {"tcp://127.0.0.1:%1", ::getpid(), true,
         QStringLiteral("127\\.0\\.0\\.1:%1 accepted .+").arg(port)},
        {"tcp://127.0.0.1:%1", other.pid(), false, foreign},
        // A name: each of its local addresses is asked, ::1 holding nothing.
        {"http://localhost:%1/", ::getpid(), true,
         QStringLiteral("HTTP 200 from localhost:%1/ .+").arg(port)},
        {"http://localhost:%1/", other.pid(), false, foreign},
    };
    for (const Row &row : rows) {
        engine::ProbeOptions options;
        options.ownerPid = row.ownerPid;
        expectResult(probe(QString::fromUtf8(row.probe).arg(port), options), row.healthy,
                     row.reason, row.probe);
    }
}

// A listener that went or was replaced between the connection and the look
// after the answer may have answered for the slot and left.
TEST(HealthProbe, AListenerThatChangesDuringTheProbeLeavesTheOwnerUnknown) {
    Child other({"/bin/sleep", "30"});
    const QString unknown = QStringLiteral("the owner of port %1 could not be established: ");
    struct Row {
        const char *name;
        int ownerPid;
        bool listensAgain;
        QString reason; ///< %1: the port
    };
    const Row rows[] = {
        {"another program's listener goes after the answer", other.pid(), false,
         QStringLiteral("port %1 is answered by another program: .+, PID ") +
             QString::number(::getpid())},
        {"the slot's listener goes after the answer", ::getpid(), false,
         unknown + QStringLiteral("no listening socket is visible")},
        {"the slot's listener is replaced after the answer", ::getpid(), true,
         unknown + QStringLiteral("its listening socket changed during the probe")},
    };
    for (const Row &row : rows) {
        HttpServer server;
        const quint16 port = server.port();
        server.accepted = [&row, port](QTcpServer &listener) {
            listener.close();
            if (row.listensAgain) {
                EXPECT_TRUE(listener.listen(QHostAddress::LocalHost, port));
            }
        };
        server.answer(http("200 OK", "fine"));
        engine::ProbeOptions options;
        options.ownerPid = row.ownerPid;
        const QString portText = QString::number(port);
        expectResult(probe(QStringLiteral("http://127.0.0.1:%1/").arg(portText), options), false,
                     row.reason.arg(portText), row.name);
    }
}

TEST(HealthProbe, OneAtATimeAndCancelledWithoutAWord) {
    engine::HealthProbe probe;
    int told = 0;
    QString reason;
    QObject::connect(&probe, &engine::HealthProbe::finished, &probe,
                     [&](const engine::ProbeResult &result) {
                         ++told;
                         reason = result.reason;
                     });
    engine::ProbeOptions options;
    options.caFile = QStringLiteral("/nonexistent/authorities.pem");
    // Decided at once, told later.
    ASSERT_TRUE(probe.run(engine::parseProbe(QStringLiteral("https://127.0.0.1:1/")), options));
    EXPECT_FALSE(probe.run(engine::parseProbe(QStringLiteral("exit")), {}));
    EXPECT_EQ(told, 0);
    ASSERT_TRUE(waitWithEvents([&] { return told == 1; }));
    EXPECT_TRUE(reason.startsWith(QStringLiteral(
        R"(certificate authority file "/nonexistent/authorities.pem" cannot be read)")))
        << reason.toStdString();

    ASSERT_TRUE(probe.run(engine::parseProbe(QStringLiteral("/bin/sleep 30")), {}));
    EXPECT_TRUE(probe.busy());
    probe.cancel();
    EXPECT_FALSE(probe.busy());
    ASSERT_TRUE(probe.run(engine::parseProbe(QStringLiteral("/bin/true")), {}));
    ASSERT_TRUE(waitWithEvents([&] { return told == 2; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(told, 2);
}

} // namespace
