#pragma once
// The pure pieces of the mail protocol: the message (RFC 5322) as it goes over
// the wire, the envelope addresses, dot-stuffing and reading the server's replies.

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <optional>

namespace smtp {

/// One reply of the server: its three-digit code and its text lines.
struct Reply {
    int code = 0; ///< 0 when the server sent something that is no reply
    QStringList lines;
    /// The reply as one line for people: code, a blank, the lines joined by
    /// blanks, control characters removed.
    QString text() const;
};

/// Takes the first complete reply (one line, or several "ddd-" lines and a
/// last "ddd " line) off the front of `buffer`; nullopt while it is incomplete.
/// Lines may end in CR LF or LF. A line without a code gives a reply with code 0.
std::optional<Reply> takeReply(QByteArray &buffer);

/// The recipients of the stored text: split at ";", each trimmed, empty parts skipped.
QStringList splitRecipients(const QString &text);

/// The address to put in MAIL FROM or RCPT TO: control characters removed and,
/// when the entry has the form "Name <address>", only the part in brackets.
QString envelopeAddress(const QString &entry);

/// A header value with every control character (line breaks included) removed,
/// so no value can add header lines of its own.
QString cleanHeaderValue(const QString &value);

/// Text for the DATA phase: every line end (CR LF, LF or a lone CR) made CR LF,
/// a "." put before every line that starts with "." (RFC 5321 4.5.2), and a
/// final CR LF added when missing. The terminating ".\r\n" is not included.
QByteArray dotStuff(const QByteArray &text);

/// Quoted-printable (RFC 2045 6.7) of text whose lines end in CR LF; the line
/// ends stay hard line breaks, long lines get soft breaks within 76 characters.
QByteArray quotedPrintable(const QByteArray &text);

/// The fields of the message, as the callers fill them.
struct Message {
    QString sender;
    /// Second sender field: written as Reply-To when it names another address.
    QString replyTo;
    /// Recipients text as stored: addresses separated by ";".
    QString recipients;
    QString subject;
    QString body;
};

/// The whole message, header and UTF-8 text/plain body, lines ending in CR LF.
/// Header values are cleaned of control characters; a subject that is not
/// plain ASCII is written as RFC 2047 encoded words; a body that is not plain
/// ASCII with short lines is sent quoted-printable.
QByteArray buildMessage(const Message &message, const QDateTime &date, const QString &messageId);

/// A fresh Message-ID value ("<unique@domain>"), the domain taken from the sender.
QString newMessageId(const QString &sender);

} // namespace smtp
