// The mail protocol's pure pieces: replies, addresses, dot-stuffing and the message.

#include "engine/smtp_message.h"

#include <QRegularExpression>
#include <QTimeZone>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

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
    // The text goes into the log and the question: a CR or an escape sequence
    // from the server must not overwrite or hide what is shown there.
    QByteArray hostile = "550 gone\rsent OK\x1b[2K\r\n";
    EXPECT_EQ(smtp::takeReply(hostile)->text(), u"550 gonesent OK[2K"_s);
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

} // namespace
