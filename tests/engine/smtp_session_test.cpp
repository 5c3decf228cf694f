// Whole SMTP sessions against a real server (python3-aiosmtpd) on 127.0.0.1.

#include "engine/smtp_session.h"
#include "tests/support/smtp_test_server.h"

#include <QSslSocket>
#include <QTest>
#include <gtest/gtest.h>
#include <random>
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
};

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

    /// Connect, send every message, disconnect; waits until the session has ended.
    static Outcome run(const SmtpTestServer &server, const QList<smtp::Message> &messages,
                       int timeoutMs = smtp::Session::DefaultTimeoutMs) {
        Outcome outcome;
        smtp::Session session;
        session.setHost(QString::fromStdString(server.host()));
        session.setPort(server.port());
        session.setTimeout(timeoutMs);
        QObject::connect(&session, &smtp::Session::messageSent, &session, [&] { ++outcome.sent; });
        QObject::connect(&session, &smtp::Session::messageFailed, &session,
                         [&](const QString &reason) { outcome.failures << reason; });
        QObject::connect(&session, &smtp::Session::finished, &session,
                         [&] { outcome.finished = true; });
        QObject::connect(
            &session, &smtp::Session::sendError, &session,
            [&](const QString &address, const QString &, bool &cancel) {
                outcome.refused << address;
                cancel = false;
            },
            Qt::DirectConnection);
        session.connectToServer();
        for (const auto &m : messages) {
            session.send(m);
        }
        session.disconnectFromServer();
        EXPECT_TRUE(QTest::qWaitFor([&] { return outcome.finished; }, 30000));
        return outcome;
    }
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
    const Outcome outcome = run(server, {message(QStringLiteral("ops@example.com"))}, 300);
    ASSERT_EQ(outcome.failures.size(), 1);
    EXPECT_TRUE(outcome.failures[0].startsWith(u"no answer from the server"))
        << outcome.failures[0].toStdString();
}

} // namespace
