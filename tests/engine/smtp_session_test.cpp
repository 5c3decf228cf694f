// Whole SMTP sessions against a real server (python3-aiosmtpd) on 127.0.0.1.

#include "engine/smtp_session.h"
#include "tests/support/network_namespace.h"
#include "tests/support/smtp_test_server.h"

#include <QSslSocket>
#include <QTest>
#include <cstdlib>
#include <gtest/gtest.h>
#include <random>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

using testing_support::SmtpServerOptions;
using testing_support::SmtpTestServer;

namespace {

/// What one session did, as it reported it.
struct Outcome {
    int sent = 0;
    QStringList failures;
    QStringList refused;
    bool finished = false;
    /// Everything Qt's logging (qDebug, qWarning, ...) printed meanwhile.
    QStringList logged;
};

/// How the session is set up beside host and port.
struct SessionSetup {
    int timeoutMs = smtp::Session::DefaultTimeoutMs;
    QString user = {};
    QString password = {};
    QString caFile = {};
    bool implicitTls = false;
};

QStringList *qtMessages = nullptr;

void recordQtMessage(QtMsgType, const QMessageLogContext &, const QString &text) {
    if (qtMessages) {
        *qtMessages << text;
    }
}

bool mentions(const std::vector<std::string> &events, const std::string &text) {
    return std::any_of(events.begin(), events.end(),
                       [&](const std::string &e) { return e.find(text) != std::string::npos; });
}

// Non-ASCII on purpose: the sign-in must go as UTF-8.
const QString User = u"jürgen@example.com"_s;
const QString Password = u"Pässwort-€-7"_s;

class SmtpSessionTest : public ::testing::Test {
protected:
    static smtp::Message message(const QString &recipients, const QString &body = {}) {
        smtp::Message m;
        m.sender = QStringLiteral("perstando@example.com");
        m.replyTo = m.sender;
        m.recipients = recipients;
        m.subject = QStringLiteral("*****Perstando Alert*****");
        m.body = body.isEmpty() ? QStringLiteral("Order entry was restarted at: 3:07:12 PM") : body;
        return m;
    }

    static void trust(const SmtpTestServer &server) {
        smtp::addTrustedCertificates(
            QSslCertificate::fromData(QByteArray::fromStdString(server.certificatePem())));
    }

    /// A PEM file that holds the server's certificate, as a company's own authority.
    QString caFileOf(const SmtpTestServer &server) {
        const auto file = folder_ / ("ca-" + std::to_string(server.port()) + ".pem");
        testing_support::writeFile(file, server.certificatePem());
        return QString::fromStdString(file.string());
    }

    /// Signs in as User, trusting the server through a CA file.
    SessionSetup loginTo(const SmtpTestServer &server) {
        return {.user = User, .password = Password, .caFile = caFileOf(server)};
    }

    /// The one message went over TLS from a session signed in with `mechanism`.
    static void expectSignedInDelivery(const Outcome &outcome, const SmtpTestServer &server,
                                       const std::string &mechanism) {
        EXPECT_EQ(outcome.sent, 1);
        EXPECT_TRUE(outcome.failures.isEmpty()) << outcome.failures.join(u'|').toStdString();
        const auto mails = server.messages();
        ASSERT_EQ(mails.size(), 1u);
        EXPECT_TRUE(mails[0].tls);
        EXPECT_EQ(mails[0].authUser, User.toStdString());
        const auto events = server.events();
        EXPECT_TRUE(mentions(events, "auth " + mechanism + " " + User.toStdString() + " ok"));
        EXPECT_FALSE(mentions(events, "AUTH in clear text"));
    }

    static SmtpServerOptions signIn(SmtpServerOptions options) {
        options.authUser = User.toStdString();
        options.authPassword = Password.toStdString();
        return options;
    }

    /// Neither the password nor its base64 (alone for LOGIN, in the PLAIN
    /// blob) shows up in anything the session or the server reported.
    static void expectPasswordNowhere(const Outcome &outcome, const SmtpTestServer &server) {
        const QByteArray plain = QByteArray(1, '\0') + User.toUtf8() + '\0' + Password.toUtf8();
        const QStringList secrets = {Password, QString::fromLatin1(Password.toUtf8().toBase64()),
                                     QString::fromLatin1(plain.toBase64())};
        QStringList texts = outcome.failures + outcome.logged;
        for (const auto &event : server.events()) {
            texts << QString::fromStdString(event);
        }
        for (const QString &secret : secrets) {
            for (const QString &text : texts) {
                EXPECT_FALSE(text.contains(secret)) << "a reported text holds the password";
            }
        }
    }

    /// Connect, send every message, disconnect; waits until the session has ended.
    static Outcome run(const SmtpTestServer &server, const QList<smtp::Message> &messages,
                       const SessionSetup &setup = {}) {
        return run(server.host(), server.port(), messages, setup);
    }

    static Outcome run(const std::string &host, int port, const QList<smtp::Message> &messages,
                       const SessionSetup &setup = {}) {
        Outcome outcome;
        qtMessages = &outcome.logged;
        const QtMessageHandler previous = qInstallMessageHandler(recordQtMessage);
        smtp::Session session;
        session.setHost(QString::fromStdString(host));
        session.setPort(port);
        session.setTimeout(setup.timeoutMs);
        session.setImplicitTls(setup.implicitTls);
        session.setLogin(setup.user, setup.password);
        session.setCaFile(setup.caFile);
        QObject::connect(&session, &smtp::Session::messageSent, &session, [&] { ++outcome.sent; });
        QObject::connect(&session, &smtp::Session::messageFailed, &session,
                         [&](const QString &reason) { outcome.failures << reason; });
        QObject::connect(&session, &smtp::Session::finished, &session,
                         [&] { outcome.finished = true; });
        QObject::connect(&session, &smtp::Session::recipientRefused, &session,
                         [&](const QString &address, const QString &) {
                             outcome.refused << address;
                             session.answerRefusal(true);
                         });
        session.connectToServer();
        for (const auto &m : messages) {
            session.send(m);
        }
        session.disconnectFromServer();
        EXPECT_TRUE(QTest::qWaitFor([&] { return outcome.finished; }, 30000));
        qInstallMessageHandler(previous);
        qtMessages = nullptr;
        return outcome;
    }

    testing_support::TempDir folder_;
};

TEST_F(SmtpSessionTest, StartTlsIsUsedWhenOfferedAndQueuedMessagesGoOutInOrder) {
    SmtpTestServer server({.tls = SmtpServerOptions::Tls::StartTls});
    ASSERT_TRUE(server.started());
    trust(server);
    const Outcome outcome =
        run(server, {message(QStringLiteral("ops@example.com"), QStringLiteral(".\n.hidden\nend")),
                     message(QStringLiteral("boss@example.com"), QStringLiteral("second"))});
    EXPECT_EQ(outcome.sent, 2);
    EXPECT_TRUE(outcome.failures.isEmpty()) << outcome.failures.join(u'|').toStdString();
    const auto mails = server.messages();
    ASSERT_EQ(mails.size(), 2u);
    EXPECT_TRUE(mails[0].tls);
    EXPECT_EQ(mails[0].mailFrom, "perstando@example.com");
    EXPECT_EQ(mails[0].rcptTo, std::vector<std::string>{"ops@example.com"});
    EXPECT_EQ(mails[0].body(), ".\r\n.hidden\r\nend\r\n") << "dot-stuffing is undone by the server";
    EXPECT_EQ(mails[1].body(), "second\r\n");
    EXPECT_TRUE(QTest::qWaitFor([&] { return server.events().back() == "close"; }, 10000));
    const auto events = server.events();
    EXPECT_EQ(std::count(events.begin(), events.end(), "connect"), 1);
    EXPECT_NE(std::find(events.begin(), events.end(), "starttls"), events.end());
    EXPECT_NE(std::find(events.begin(), events.end(), "quit"), events.end());
}

TEST_F(SmtpSessionTest, AnUntrustedCertificateEndsTheSessionBeforeAnythingIsSent) {
    SmtpTestServer server({.tls = SmtpServerOptions::Tls::StartTls}); // certificate not trusted
    ASSERT_TRUE(server.started());
    const Outcome outcome = run(server, {message(QStringLiteral("ops@example.com"))});
    EXPECT_EQ(outcome.sent, 0);
    ASSERT_EQ(outcome.failures.size(), 1);
    EXPECT_TRUE(outcome.failures[0].startsWith(u"secure connection failed"))
        << outcome.failures[0].toStdString();
    EXPECT_TRUE(server.messages().empty());
}

TEST_F(SmtpSessionTest, Port465SpeaksTlsFromTheFirstByte) {
    // 465 is privileged; a loopback address of its own keeps parallel runs apart.
    std::mt19937 random(static_cast<unsigned>(::getpid()));
    const std::string host = "127." + std::to_string(random() % 250 + 1) + "." +
                             std::to_string(random() % 250 + 1) + "." +
                             std::to_string(random() % 250 + 1);
    SmtpTestServer server({.host = host, .port = 465, .tls = SmtpServerOptions::Tls::Implicit});
    if (!server.started()) {
        GTEST_SKIP() << "port 465 cannot be opened by this user";
    }
    trust(server);
    const Outcome outcome = run(server, {message(QStringLiteral("ops@example.com"))});
    EXPECT_EQ(outcome.sent, 1);
    EXPECT_TRUE(outcome.failures.isEmpty()) << outcome.failures.join(u'|').toStdString();
    const auto mails = server.messages();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_TRUE(mails[0].tls);
    const auto events = server.events();
    EXPECT_EQ(std::find(events.begin(), events.end(), "starttls"), events.end());
}

TEST_F(SmtpSessionTest, AServerWithoutEhloIsGreetedWithHelo) {
    SmtpTestServer server({.refuseEhlo = true});
    ASSERT_TRUE(server.started());
    const Outcome outcome = run(server, {message(QStringLiteral("ops@example.com"))});
    EXPECT_EQ(outcome.sent, 1);
    const auto events = server.events();
    EXPECT_NE(std::find_if(events.begin(), events.end(),
                           [](const std::string &e) { return e.starts_with("helo ["); }),
              events.end());
    EXPECT_EQ(server.messages().size(), 1u);
}

TEST_F(SmtpSessionTest, RefusedRecipientsAreAskedAboutAndAllRefusedFailsTheMessage) {
    SmtpTestServer server({.refuse = {"bad@example.com", "worse@example.com"}});
    ASSERT_TRUE(server.started());
    const Outcome outcome =
        run(server, {message(QStringLiteral("bad@example.com; worse@example.com")),
                     message(QStringLiteral(" ; ")),
                     message(QStringLiteral("bad@example.com;ops@example.com"))});
    EXPECT_EQ(outcome.refused,
              (QStringList{u"bad@example.com"_s, u"worse@example.com"_s, u"bad@example.com"_s}));
    EXPECT_EQ(outcome.failures,
              (QStringList{u"server refused every recipient"_s, u"no recipient address"_s}));
    EXPECT_EQ(outcome.sent, 1);
    const auto mails = server.messages();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].rcptTo, std::vector<std::string>{"ops@example.com"});
}

TEST_F(SmtpSessionTest, ASilentServerTimesOut) {
    SmtpTestServer server({.silent = true});
    ASSERT_TRUE(server.started());
    const Outcome outcome =
        run(server, {message(QStringLiteral("ops@example.com"))}, {.timeoutMs = 300});
    ASSERT_EQ(outcome.failures.size(), 1);
    EXPECT_TRUE(outcome.failures[0].startsWith(u"no answer from the server"))
        << outcome.failures[0].toStdString();
}

TEST_F(SmtpSessionTest, SignsInWithPlainAfterStartTls) {
    // AUTH is offered only after TLS: the EHLO after STARTTLS must count.
    SmtpTestServer server(signIn({.tls = SmtpServerOptions::Tls::StartTls}));
    ASSERT_TRUE(server.started());
    const Outcome outcome = run(server, {message(u"ops@example.com"_s)}, loginTo(server));
    expectSignedInDelivery(outcome, server, "PLAIN");
}

TEST_F(SmtpSessionTest, SignsInWithLoginOverTlsFromTheFirstByte) {
    SmtpTestServer server(signIn({.tls = SmtpServerOptions::Tls::Implicit, .offerPlain = false}));
    ASSERT_TRUE(server.started());
    SessionSetup setup = loginTo(server);
    setup.implicitTls = true;
    const Outcome outcome = run(server, {message(u"ops@example.com"_s)}, setup);
    expectSignedInDelivery(outcome, server, "LOGIN");
    EXPECT_FALSE(mentions(server.events(), "starttls"));
}

TEST_F(SmtpSessionTest, ARefusedSignInFailsWithTheServersReplyAndNeverShowsThePassword) {
    SmtpTestServer server({.tls = SmtpServerOptions::Tls::StartTls,
                           .authUser = User.toStdString(),
                           .authPassword = "something else"});
    ASSERT_TRUE(server.started());
    const Outcome outcome = run(server, {message(u"ops@example.com"_s)}, loginTo(server));
    EXPECT_EQ(outcome.sent, 0);
    ASSERT_EQ(outcome.failures.size(), 1);
    EXPECT_TRUE(outcome.failures[0].startsWith(u"sign-in refused: 535 5.7.8"))
        << outcome.failures[0].toStdString();
    EXPECT_TRUE(server.messages().empty());
    EXPECT_TRUE(mentions(server.events(), "auth PLAIN " + User.toStdString() + " refused"));
    expectPasswordNowhere(outcome, server);
}

TEST_F(SmtpSessionTest, NoPasswordGoesToAServerWithoutEncryptionEvenWhenItOffersAuth) {
    SmtpTestServer server(signIn({.authInClear = true}));
    ASSERT_TRUE(server.started());
    const Outcome outcome =
        run(server, {message(u"ops@example.com"_s)}, {.user = User, .password = Password});
    EXPECT_EQ(outcome.sent, 0);
    EXPECT_EQ(outcome.failures.join(u'|').toStdString(),
              "the server offers no encryption (STARTTLS); the password is not sent unencrypted");
    const auto events = server.events();
    EXPECT_TRUE(mentions(events, "ehlo")) << "the session did get as far as the offer";
    EXPECT_FALSE(mentions(events, "AUTH in clear text"));
    EXPECT_FALSE(mentions(events, "mail "));
    EXPECT_TRUE(server.messages().empty());
    expectPasswordNowhere(outcome, server);
}

TEST_F(SmtpSessionTest, ACompanyAuthorityIsTrustedThroughTheCaFileOnly) {
    SmtpTestServer server(signIn({.tls = SmtpServerOptions::Tls::StartTls}));
    ASSERT_TRUE(server.started());
    const Outcome untrusted =
        run(server, {message(u"ops@example.com"_s)}, {.user = User, .password = Password});
    EXPECT_EQ(untrusted.sent, 0);
    ASSERT_EQ(untrusted.failures.size(), 1);
    EXPECT_TRUE(untrusted.failures[0].startsWith(u"secure connection failed"));
    EXPECT_TRUE(untrusted.failures[0].contains(u"self-signed"))
        << "the reason names the problem: " << untrusted.failures[0].toStdString();
    EXPECT_FALSE(mentions(server.events(), "auth "));

    const Outcome outcome = run(server, {message(u"ops@example.com"_s)}, loginTo(server));
    expectSignedInDelivery(outcome, server, "PLAIN");
}

TEST_F(SmtpSessionTest, AnUnusableCaFileFailsAtOnceNamingTheFile) {
    SmtpTestServer server({.tls = SmtpServerOptions::Tls::StartTls});
    ASSERT_TRUE(server.started());
    const auto fifo = folder_ / "fifo.pem";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const auto empty = folder_ / "empty.pem";
    testing_support::writeFile(empty, "no certificate here\n");
    const struct {
        std::filesystem::path file;
        QString why;
    } cases[] = {{fifo, u"is not a regular file"_s},
                 {folder_ / "missing.pem", u"cannot be read (No such file or directory)"_s},
                 {folder_.path(), u"is not a regular file"_s},
                 {empty, u"holds no PEM certificate"_s}};
    for (const auto &c : cases) {
        const QString path = QString::fromStdString(c.file.string());
        // A blocking open of the FIFO would hang here and never reach the deadline.
        const Outcome outcome = run(server, {message(u"ops@example.com"_s)}, {.caFile = path});
        EXPECT_EQ(outcome.sent, 0);
        EXPECT_EQ(outcome.failures.join(u'|').toStdString(),
                  u"certificate authority file \"%1\" %2"_s.arg(path, c.why).toStdString());
    }
    EXPECT_FALSE(mentions(server.events(), "connect")) << "nothing is sent without the authority";
}

// Runs again in a mount namespace whose /etc/ssl/certs holds only the
// server's certificate: there, the system's authorities are that one.
TEST_F(SmtpSessionTest, TheSystemsAuthoritiesStillCountBesideACaFile) {
    if (const char *inside = std::getenv("PERSTANDO_TEST_SYSTEM_CA")) {
        const QStringList portAndCaFile = QString::fromLocal8Bit(inside).split(u'|');
        ASSERT_EQ(portAndCaFile.size(), 2);
        const Outcome outcome = run("127.0.0.1", portAndCaFile[0].toInt(),
                                    {message(u"ops@example.com"_s)}, {.caFile = portAndCaFile[1]});
        EXPECT_EQ(outcome.sent, 1);
        EXPECT_TRUE(outcome.failures.isEmpty()) << outcome.failures.join(u'|').toStdString();
        return;
    }
    SmtpTestServer server({.tls = SmtpServerOptions::Tls::StartTls});
    SmtpTestServer other({.tls = SmtpServerOptions::Tls::StartTls}); // for its certificate
    ASSERT_TRUE(server.started());
    ASSERT_TRUE(other.started());
    const auto store = folder_ / "system-store";
    std::filesystem::create_directory(store);
    testing_support::writeFile(store / "server.pem", server.certificatePem());
    // The hashed name is what makes Qt look up the system's authorities on demand.
    const auto hash = testing_support::runCaptured(
        {"openssl", "x509", "-hash", "-noout", "-in", (store / "server.pem").string()});
    ASSERT_EQ(hash.status, 0);
    std::filesystem::create_symlink("server.pem",
                                    store / (hash.output.substr(0, hash.output.find('\n')) + ".0"));
    const std::string mountStore = R"(mount --bind "$0" /etc/ssl/certs && exec "$@")";
    if (testing_support::runCaptured(
            {"unshare", "-m", "sh", "-c", mountStore, store.string(), "true"})
            .status != 0) {
        GTEST_SKIP() << "no mount namespace here";
    }
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    const auto inside = testing_support::runCaptured(
        {"unshare", "-m", "sh", "-c", mountStore, store.string(), "env",
         "PERSTANDO_TEST_SYSTEM_CA=" + std::to_string(server.port()) + "|" +
             caFileOf(other).toStdString(),
         "timeout", "120", self,
         "--gtest_filter=SmtpSessionTest.TheSystemsAuthoritiesStillCountBesideACaFile"});
    EXPECT_TRUE(WIFEXITED(inside.status) && WEXITSTATUS(inside.status) == 0) << inside.output;
    EXPECT_EQ(server.messages().size(), 1u);
}

} // namespace
