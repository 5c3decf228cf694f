// The SMTP client: its protocol pieces directly, and whole sessions against a
// real server (python3-aiosmtpd) on 127.0.0.1.

#include "monitor/smtp_client.h"
#include "tests/support/smtp_test_server.h"

#include <QRegularExpression>
#include <QSslSocket>
#include <QTest>
#include <QTimeZone>
#include <gtest/gtest.h>
#include <random>
#include <unistd.h>

using namespace Qt::StringLiterals;

using testing_support::ReceivedMail;
using testing_support::SmtpServerOptions;
using testing_support::SmtpTestServer;

namespace {

QByteArray fromQuotedPrintable(const QByteArray &text) {
    QByteArray out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != '=') {
            out += text[i];
        } else if (text.mid(i + 1, 2) == "\r\n") {
            i += 2; // soft line break
        } else {
            out += static_cast<char>(text.mid(i + 1, 2).toInt(nullptr, 16));
            i += 2;
        }
    }
    return out;
}

TEST(SmtpProtocol, RepliesAreTakenWholeOneAtATime) {
    QByteArray buffer = "250-test.invalid\r\n250-STARTTLS\r\n250 HELP\r\n354 go";
    auto reply = smtp::takeReply(buffer);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->code, 250);
    EXPECT_EQ(reply->lines, (QStringList{u"test.invalid"_s, u"STARTTLS"_s, u"HELP"_s}));
    EXPECT_EQ(buffer, "354 go");
    EXPECT_FALSE(smtp::takeReply(buffer)) << "an unfinished line waits for the rest";
    EXPECT_EQ(buffer, "354 go");
    buffer += "\n221";
    reply = smtp::takeReply(buffer);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->code, 354);
    EXPECT_EQ(buffer, "221");

    buffer = "250-a\r\n250";
    EXPECT_FALSE(smtp::takeReply(buffer)) << "a multi-line reply waits for its last line";
    buffer += "\r\n";
    reply = smtp::takeReply(buffer);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->lines, (QStringList{u"a"_s, u""_s}));
    EXPECT_TRUE(buffer.isEmpty());

    QByteArray refused = "550 5.1.1 <x@y>: Recipient\r\n";
    EXPECT_EQ(smtp::takeReply(refused)->text(), u"550 5.1.1 <x@y>: Recipient"_s);
}

TEST(SmtpProtocol, LinesThatAreNoReplyGiveCodeZero) {
    for (QByteArray buffer : {QByteArray("hello\r\n"), QByteArray("25 x\r\n"),
                              QByteArray("250-a\r\n251 b\r\n"), QByteArray("250x\r\n")}) {
        const auto reply = smtp::takeReply(buffer);
        ASSERT_TRUE(reply) << buffer.constData();
        EXPECT_EQ(reply->code, 0) << buffer.constData();
    }
}

TEST(SmtpProtocol, RecipientsAreSplitAtSemicolonsTrimmedAndEmptyPartsSkipped) {
    EXPECT_EQ(smtp::splitRecipients(QStringLiteral(" ops@example.com ;; boss@example.com;  ")),
              (QStringList{u"ops@example.com"_s, u"boss@example.com"_s}));
    EXPECT_TRUE(smtp::splitRecipients(QStringLiteral(" ; ;")).isEmpty());
    EXPECT_TRUE(smtp::splitRecipients(QString()).isEmpty());
    EXPECT_EQ(smtp::envelopeAddress(QStringLiteral(" Ops Team <ops@example.com> ")),
              u"ops@example.com"_s);
    EXPECT_EQ(smtp::envelopeAddress(QStringLiteral("ops@example.com\r\nDATA")),
              u"ops@example.comDATA"_s);
}

TEST(SmtpProtocol, DotStuffingDoublesLeadingDotsAndMakesEveryLineEndCrLf) {
    EXPECT_EQ(smtp::dotStuff(".a\n..b\nc.\r\n.\rx"), "..a\r\n...b\r\nc.\r\n..\r\nx\r\n");
    EXPECT_EQ(smtp::dotStuff("done\r\n"), "done\r\n");
}

TEST(SmtpProtocol, QuotedPrintableKeepsLinesShortAndBlanksAtLineEnds) {
    EXPECT_EQ(smtp::quotedPrintable("a \r\nb=c\tx\r\n"), "a=20\r\nb=3Dc\tx\r\n");
    EXPECT_EQ(smtp::quotedPrintable("Z\xC3\xBCrich\r\n"), "Z=C3=BCrich\r\n");
    const QByteArray longLine = QByteArray(100, 'x') + "\xC3\xA9" + QByteArray(100, 'y') + "\r\n";
    const QByteArray encoded = smtp::quotedPrintable(longLine);
    for (const QByteArray &line : encoded.split('\n')) {
        EXPECT_LE(line.size(), 77) << line.constData(); // 76 and the CR
    }
    EXPECT_EQ(fromQuotedPrintable(encoded), longLine);
}

TEST(SmtpProtocol, MessageHasTheRequiredHeadersAndNoInjectedOnes) {
    smtp::Message message;
    message.sender = QStringLiteral("Ops <ops@example.com>");
    message.replyTo = QStringLiteral("ops@example.com");
    message.recipients = QStringLiteral("a@x.org; b@y.org");
    message.subject = QStringLiteral("Hi\r\nBcc: evil@x.org");
    message.body = QStringLiteral("Line1\nLine2");
    const QDateTime date(QDate(2004, 1, 15), QTime(15, 7, 12), QTimeZone(3600));
    EXPECT_EQ(smtp::buildMessage(message, date, QStringLiteral("<id@example.com>")),
              "Date: Thu, 15 Jan 2004 15:07:12 +0100\r\n"
              "From: ops@example.com\r\n"
              "To: a@x.org,\r\n b@y.org\r\n"
              "Subject: HiBcc: evil@x.org\r\n"
              "Message-ID: <id@example.com>\r\n"
              "MIME-Version: 1.0\r\n"
              "Content-Type: text/plain; charset=UTF-8\r\n"
              "Content-Transfer-Encoding: 7bit\r\n"
              "\r\n"
              "Line1\r\nLine2\r\n");

    message.replyTo = QStringLiteral("desk@example.com");
    message.subject = QString(30, QChar(0xFC)); // 60 bytes of UTF-8: two encoded words
    message.body = QStringLiteral("Z\u00FCrich");
    const QByteArray built =
        smtp::buildMessage(message, QDateTime(QDate(2004, 1, 15), QTime(9, 0), QTimeZone(-18000)),
                           QStringLiteral("<id@example.com>"));
    EXPECT_TRUE(built.startsWith("Date: Thu, 15 Jan 2004 09:00:00 -0500\r\n"));
    EXPECT_TRUE(built.contains("\r\nReply-To: desk@example.com\r\n"));
    EXPECT_TRUE(built.contains("\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"
                               "Z=C3=BCrich\r\n"));
    static const QRegularExpression words(QStringLiteral("=\\?UTF-8\\?B\\?([A-Za-z0-9+/=]+)\\?="));
    QString decoded;
    int count = 0;
    for (auto it = words.globalMatch(QString::fromLatin1(built)); it.hasNext(); ++count) {
        const QByteArray word = QByteArray::fromBase64(it.next().captured(1).toLatin1());
        EXPECT_TRUE(QString::fromUtf8(word).toUtf8() == word) << "words hold whole characters";
        decoded += QString::fromUtf8(word);
    }
    EXPECT_EQ(count, 2);
    EXPECT_EQ(decoded, message.subject);
}

TEST(SmtpProtocol, MessageIdTakesTheSendersDomain) {
    static const QRegularExpression uuid(QStringLiteral("^<[0-9a-f-]{36}@example\\.com>$"));
    const QString id = smtp::newMessageId(QStringLiteral("Ops <ops@example.com>"));
    EXPECT_TRUE(uuid.match(id).hasMatch()) << id.toStdString();
    EXPECT_NE(id, smtp::newMessageId(QStringLiteral("ops@example.com")));
    EXPECT_TRUE(smtp::newMessageId(QStringLiteral("nobody")).endsWith(u"@localhost>"));
}

/// What one session did, as the client reported it.
struct Outcome {
    int sent = 0;
    QStringList failures;
    QStringList refused;
    bool finished = false;
};

class SmtpClientTest : public ::testing::Test {
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
                       int timeoutMs = smtp::Client::DefaultTimeoutMs) {
        Outcome outcome;
        smtp::Client client;
        client.setHost(QString::fromStdString(server.host()));
        client.setPort(server.port());
        client.setTimeout(timeoutMs);
        QObject::connect(&client, &smtp::Client::messageSent, &client, [&] { ++outcome.sent; });
        QObject::connect(&client, &smtp::Client::messageFailed, &client,
                         [&](const QString &reason) { outcome.failures << reason; });
        QObject::connect(&client, &smtp::Client::finished, &client,
                         [&] { outcome.finished = true; });
        QObject::connect(
            &client, &smtp::Client::sendError, &client,
            [&](const QString &address, const QString &, bool &cancel) {
                outcome.refused << address;
                cancel = false;
            },
            Qt::DirectConnection);
        client.connectToServer();
        for (const auto &m : messages) {
            client.send(m);
        }
        client.disconnectFromServer();
        EXPECT_TRUE(QTest::qWaitFor([&] { return outcome.finished; }, 30000));
        return outcome;
    }
};

TEST_F(SmtpClientTest, StartTlsIsUsedWhenOfferedAndQueuedMessagesGoOutInOrder) {
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

TEST_F(SmtpClientTest, AnUntrustedCertificateEndsTheSessionBeforeAnythingIsSent) {
    SmtpTestServer server({.tls = SmtpServerOptions::Tls::StartTls}); // certificate not trusted
    ASSERT_TRUE(server.started());
    const Outcome outcome = run(server, {message(QStringLiteral("ops@example.com"))});
    EXPECT_EQ(outcome.sent, 0);
    ASSERT_EQ(outcome.failures.size(), 1);
    EXPECT_TRUE(outcome.failures[0].startsWith(u"secure connection failed"))
        << outcome.failures[0].toStdString();
    EXPECT_TRUE(server.messages().empty());
}

TEST_F(SmtpClientTest, Port465SpeaksTlsFromTheFirstByte) {
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

TEST_F(SmtpClientTest, AServerWithoutEhloIsGreetedWithHelo) {
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

TEST_F(SmtpClientTest, RefusedRecipientsAreAskedAboutAndAllRefusedFailsTheMessage) {
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

TEST_F(SmtpClientTest, ASilentServerTimesOut) {
    SmtpTestServer server({.silent = true});
    ASSERT_TRUE(server.started());
    const Outcome outcome = run(server, {message(QStringLiteral("ops@example.com"))}, 300);
    ASSERT_EQ(outcome.failures.size(), 1);
    EXPECT_TRUE(outcome.failures[0].startsWith(u"no answer from the server"))
        << outcome.failures[0].toStdString();
}

} // namespace
