// The SMTP message's pure pieces on hostile input: the reply parser fed in
// arbitrary chunks, and the message builder on any field values.

#include "engine/smtp_message.h"
#include "tests/fuzz/fuzz_support.h"

#include <fuzzer/FuzzedDataProvider.h>

namespace {

void checkReplies(FuzzedDataProvider &input) {
    QByteArray buffer;
    while (input.remaining_bytes() > 0) {
        const auto chunk =
            input.ConsumeBytes<char>(input.ConsumeIntegralInRange<std::size_t>(1, 600));
        buffer.append(chunk.data(), static_cast<qsizetype>(chunk.size()));
        for (;;) {
            const qsizetype before = buffer.size();
            const auto reply = smtp::takeReply(buffer);
            if (!reply) {
                if (buffer.size() != before) {
                    fuzzing::failed("an incomplete reply changed the buffer");
                }
                break;
            }
            if (buffer.size() >= before) {
                fuzzing::failed("a reply took nothing off the buffer");
            }
            if (reply->code < 0 || reply->code > 999 || reply->lines.isEmpty()) {
                fuzzing::failed("a reply without lines or with an impossible code");
            }
        }
    }
}

/// No bare CR or LF, no line that ends the DATA phase, and no header line
/// that a field value added.
void checkMessage(const QByteArray &message, bool hasReplyTo, bool hasTo) {
    for (qsizetype i = 0; i < message.size(); ++i) {
        const bool cr = message[i] == '\r';
        const bool lf = message[i] == '\n';
        if ((cr && (i + 1 >= message.size() || message[i + 1] != '\n')) ||
            (lf && (i == 0 || message[i - 1] != '\r'))) {
            fuzzing::failed("a bare line break in the message");
        }
    }
    const qsizetype split = message.indexOf("\r\n\r\n");
    if (split < 0) {
        fuzzing::failed("no end of the header");
    }
    QList<QByteArray> names;
    for (const QByteArray &line : message.left(split).split('\n')) {
        if (line.startsWith(' ') || line.startsWith('\t')) {
            continue;
        }
        names.append(line.left(line.indexOf(':')));
    }
    QList<QByteArray> expected = {"Date", "From"};
    if (hasReplyTo) {
        expected.append("Reply-To");
    }
    if (hasTo) {
        expected.append("To");
    }
    expected +=
        {"Subject", "Message-ID", "MIME-Version", "Content-Type", "Content-Transfer-Encoding"};
    if (names != expected) {
        fuzzing::failed("a field value added a header line");
    }
    const QByteArray stuffed = smtp::dotStuff(message);
    if (stuffed.startsWith(".\r\n") || stuffed.contains("\r\n.\r\n")) {
        fuzzing::failed("a line of the message would end DATA");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    if (input.ConsumeBool()) {
        checkReplies(input);
        return 0;
    }
    smtp::Message message;
    message.sender = QString::fromStdString(input.ConsumeRandomLengthString(200));
    message.replyTo = QString::fromStdString(input.ConsumeRandomLengthString(200));
    message.recipients = QString::fromStdString(input.ConsumeRandomLengthString(300));
    message.subject = QString::fromStdString(input.ConsumeRandomLengthString(1200));
    message.body = QString::fromStdString(input.ConsumeRemainingBytesAsString());
    const QString from = smtp::envelopeAddress(message.sender);
    const QString replyTo = smtp::envelopeAddress(message.replyTo);
    QStringList to;
    for (const QString &entry : smtp::splitRecipients(message.recipients)) {
        to.append(smtp::envelopeAddress(entry));
    }
    const QByteArray built =
        smtp::buildMessage(message, QDateTime(QDate(2004, 1, 15), QTime(15, 7, 12)),
                           QStringLiteral("<id@example.com>"));
    checkMessage(built, !replyTo.isEmpty() && replyTo.compare(from, Qt::CaseInsensitive) != 0,
                 !to.isEmpty());
    return 0;
}
