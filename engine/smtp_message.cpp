#include "engine/smtp_message.h"

#include <QLocale>
#include <QRegularExpression>
#include <QUuid>

namespace smtp {
namespace {

// RFC 5322 2.1.1: lines must not exceed 998 octets.
constexpr qsizetype MaxLineLength = 998;

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

bool isControl(QChar c) {
    return c.category() == QChar::Other_Control || c == QChar::LineSeparator ||
           c == QChar::ParagraphSeparator;
}

bool isPlainAscii(const QByteArray &bytes) {
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x80 || (u < 0x20 && c != '\r' && c != '\n' && c != '\t')) {
            return false;
        }
    }
    return true;
}

bool hasLongLine(const QByteArray &crlfText) {
    for (const QByteArray &line : crlfText.split('\n')) {
        if (line.size() > MaxLineLength + 1) {
            return true;
        }
    }
    return false;
}

/// Line ends made CR LF; a final line end added when the text does not end in one.
QByteArray toCrlf(const QByteArray &text) {
    QByteArray out;
    out.reserve(text.size() + text.size() / 32 + 2);
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r') {
            out += "\r\n";
            if (i + 1 < text.size() && text[i + 1] == '\n') {
                ++i;
            }
        } else if (c == '\n') {
            out += "\r\n";
        } else {
            out += c;
        }
    }
    if (!out.endsWith("\r\n")) {
        out += "\r\n";
    }
    return out;
}

/// RFC 2047 encoded words for a header value that is not plain ASCII or too
/// long for one line; each word holds whole UTF-8 characters.
QByteArray encodedWords(const QString &value) {
    const QByteArray utf8 = value.toUtf8();
    QList<QByteArray> words;
    qsizetype start = 0;
    while (start < utf8.size()) {
        qsizetype end = std::min(start + 45, utf8.size());
        while (end < utf8.size() && (static_cast<unsigned char>(utf8[end]) & 0xC0) == 0x80) {
            --end; // never split a character
        }
        words.append("=?UTF-8?B?" + utf8.mid(start, end - start).toBase64() + "?=");
        start = end;
    }
    return words.join("\r\n ");
}

QByteArray headerText(const QString &value) {
    const QString clean = cleanHeaderValue(value);
    QByteArray ascii = clean.toUtf8();
    if (isPlainAscii(ascii) && ascii.size() <= 900) {
        return ascii;
    }
    return encodedWords(clean);
}

/// RFC 5322 3.3 date-time, always in English.
QByteArray rfc5322Date(const QDateTime &date) {
    const QLocale c = QLocale::c();
    const int offset = date.offsetFromUtc() / 60;
    const int absOffset = std::abs(offset);
    return (c.toString(date, QStringLiteral("ddd, d MMM yyyy HH:mm:ss ")) +
            (offset < 0 ? QLatin1Char('-') : QLatin1Char('+')) +
            QStringLiteral("%1%2")
                .arg(absOffset / 60, 2, 10, QLatin1Char('0'))
                .arg(absOffset % 60, 2, 10, QLatin1Char('0')))
        .toLatin1();
}

/// The domain of an address when it is a plain dot-atom, else "localhost".
QString domainOf(const QString &address) {
    static const QRegularExpression dotAtom(
        QStringLiteral("^[A-Za-z0-9!#$%&'*+/=?^_`{|}~-]+(\\.[A-Za-z0-9!#$%&'*+/=?^_`{|}~-]+)*$"));
    QString domain = envelopeAddress(address).section(QLatin1Char('@'), -1);
    if (address.contains(QLatin1Char('@')) && dotAtom.match(domain).hasMatch()) {
        return domain;
    }
    return QStringLiteral("localhost");
}

} // namespace

QString Reply::text() const {
    // It ends up in the log and in a question: the server's control
    // characters could overwrite or hide what is shown there.
    return cleanHeaderValue(QString::number(code) + QLatin1Char(' ') + lines.join(QLatin1Char(' ')))
        .trimmed();
}

std::optional<Reply> takeReply(QByteArray &buffer) {
    Reply reply;
    qsizetype pos = 0;
    while (true) {
        const qsizetype end = buffer.indexOf('\n', pos);
        if (end < 0) {
            return std::nullopt;
        }
        QByteArray line = buffer.mid(pos, end - pos);
        if (line.endsWith('\r')) {
            line.chop(1);
        }
        pos = end + 1;
        const bool coded = line.size() >= 3 && isDigit(line[0]) && isDigit(line[1]) &&
                           isDigit(line[2]) &&
                           (line.size() == 3 || line[3] == ' ' || line[3] == '-');
        if (!coded) {
            buffer.remove(0, pos);
            return Reply{0, {QString::fromUtf8(line)}};
        }
        const int code = line.left(3).toInt();
        if (reply.lines.isEmpty()) {
            reply.code = code;
        } else if (code != reply.code) {
            buffer.remove(0, pos);
            return Reply{0, reply.lines + QStringList{QString::fromUtf8(line)}};
        }
        reply.lines.append(QString::fromUtf8(line.mid(4)));
        if (line.size() == 3 || line[3] == ' ') {
            buffer.remove(0, pos);
            return reply;
        }
    }
}

QStringList splitRecipients(const QString &text) {
    QStringList result;
    for (const QString &part : text.split(QLatin1Char(';'))) {
        const QString trimmed = part.trimmed();
        if (!trimmed.isEmpty()) {
            result.append(trimmed);
        }
    }
    return result;
}

QString cleanHeaderValue(const QString &value) {
    QString clean;
    clean.reserve(value.size());
    for (const QChar c : value) {
        if (!isControl(c)) {
            clean.append(c);
        }
    }
    return clean;
}

QString envelopeAddress(const QString &entry) {
    QString address = cleanHeaderValue(entry).trimmed();
    const qsizetype open = address.lastIndexOf(QLatin1Char('<'));
    const qsizetype close = address.indexOf(QLatin1Char('>'), open + 1);
    if (open >= 0 && close > open) {
        address = address.mid(open + 1, close - open - 1).trimmed();
    }
    address.remove(QLatin1Char('<'));
    address.remove(QLatin1Char('>'));
    return address;
}

QByteArray dotStuff(const QByteArray &text) {
    const QByteArray crlf = toCrlf(text);
    QByteArray out;
    out.reserve(crlf.size() + 16);
    bool lineStart = true;
    for (const char c : crlf) {
        if (lineStart && c == '.') {
            out += '.';
        }
        out += c;
        lineStart = c == '\n';
    }
    return out;
}

QByteArray quotedPrintable(const QByteArray &text) {
    static const char hex[] = "0123456789ABCDEF";
    QByteArray out;
    const QList<QByteArray> lines = text.split('\n');
    for (qsizetype n = 0; n < lines.size(); ++n) {
        QByteArray line = lines[n];
        const bool hardBreak = n + 1 < lines.size();
        if (hardBreak && line.endsWith('\r')) {
            line.chop(1);
        }
        if (!hardBreak && line.isEmpty()) {
            break;
        }
        int column = 0;
        for (qsizetype i = 0; i < line.size(); ++i) {
            const auto u = static_cast<unsigned char>(line[i]);
            const bool last = i + 1 == line.size();
            QByteArray piece;
            // Blanks at a line end would be lost in transport (RFC 2045 6.7 (3)).
            if ((u >= 33 && u <= 126 && u != '=') || ((u == ' ' || u == '\t') && !last)) {
                piece = QByteArray(1, static_cast<char>(u));
            } else {
                piece = QByteArray{"="} + hex[u >> 4] + hex[u & 0x0F];
            }
            if (column + piece.size() > 75) {
                out += "=\r\n";
                column = 0;
            }
            out += piece;
            column += static_cast<int>(piece.size());
        }
        if (hardBreak) {
            out += "\r\n";
        }
    }
    return out;
}

QByteArray buildMessage(const Message &message, const QDateTime &date, const QString &messageId) {
    QByteArray head;
    auto field = [&head](const char *name, const QByteArray &value) {
        head += name;
        head += ": ";
        head += value;
        head += "\r\n";
    };
    QStringList to;
    for (const QString &entry : splitRecipients(message.recipients)) {
        to.append(envelopeAddress(entry));
    }
    const QString from = envelopeAddress(message.sender);
    const QString replyTo = envelopeAddress(message.replyTo);

    field("Date", rfc5322Date(date));
    field("From", headerText(from));
    if (!replyTo.isEmpty() && replyTo.compare(from, Qt::CaseInsensitive) != 0) {
        field("Reply-To", headerText(replyTo));
    }
    if (!to.isEmpty()) {
        field("To", to.join(QStringLiteral(",\r\n ")).toUtf8());
    }
    field("Subject", headerText(message.subject));
    field("Message-ID", cleanHeaderValue(messageId).toUtf8());
    field("MIME-Version", "1.0");
    field("Content-Type", "text/plain; charset=UTF-8");

    QByteArray body = toCrlf(message.body.toUtf8());
    if (isPlainAscii(body) && !hasLongLine(body)) {
        field("Content-Transfer-Encoding", "7bit");
    } else {
        field("Content-Transfer-Encoding", "quoted-printable");
        body = quotedPrintable(body);
    }
    return head + "\r\n" + body;
}

QString newMessageId(const QString &sender) {
    return QLatin1Char('<') + QUuid::createUuid().toString(QUuid::WithoutBraces) +
           QLatin1Char('@') + domainOf(sender) + QLatin1Char('>');
}

} // namespace smtp
