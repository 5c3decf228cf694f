#include "engine/webhook.h"

#include "engine/smtp_session.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QSslConfiguration>
#include <QSysInfo>
#include <QUrl>

#include <algorithm>
#include <memory>
#include <utility>

namespace engine {
namespace {

// An encoded word is at most 75 characters (RFC 2047 2): 45 bytes make 60 in base64.
constexpr qsizetype EncodedWordBytes = 45;
// A server's reason phrase goes into a log line; a hostile one must not fill it.
constexpr qsizetype MaxReasonPhrase = 100;
// Only the status counts: a reply's body is dropped as it comes, and one longer than this cut off.
constexpr qsizetype MaxReply = qsizetype{64} * 1024;
constexpr int Tries = 3;

QString messageText(const Alert &alert) {
    QString text = alert.sentence;
    if (!alert.exitCause.isEmpty()) {
        text += QStringLiteral("\nLast exit: ") + alert.exitCause;
    }
    if (!alert.output.isEmpty()) {
        text += QStringLiteral("\nLast output:\n") + alert.output.join(u'\n');
    }
    return text;
}

QString title(const Alert &alert) {
    return alert.slot == 0 ? QStringLiteral("Perstando")
                           : QStringLiteral("Perstando: ") + alert.name;
}

/// ISO 8601 with milliseconds and the offset always written out ("+02:00", never "Z").
QJsonValue isoTime(const QDateTime &time) {
    if (!time.isValid()) {
        return QJsonValue::Null;
    }
    const int offset = time.offsetFromUtc();
    const int minutes = (offset < 0 ? -offset : offset) / 60;
    return time.toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz")) + (offset < 0 ? u'-' : u'+') +
           QStringLiteral("%1:%2")
               .arg(minutes / 60, 2, 10, QLatin1Char('0'))
               .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

QJsonValue textOrNull(const QString &text) {
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

/// `text` without CR, LF and the other controls a header may not hold (tab may stay).
QString withoutControls(const QString &text) {
    QString kept;
    kept.reserve(text.size());
    for (const QChar c : text) {
        const char16_t code = c.unicode();
        if ((code >= 0x20 && code != 0x7f) || code == u'\t') {
            kept.append(c);
        }
    }
    return kept;
}

/// A header value: plain ASCII as it is, anything else as RFC 2047 encoded words,
/// each ending on a whole UTF-8 character.
QByteArray headerValue(const QString &text) {
    const QString clean = withoutControls(text);
    bool plain = !clean.contains(QStringLiteral("=?"));
    for (const QChar c : clean) {
        plain = plain && c.unicode() < 0x80;
    }
    if (plain) {
        return clean.toLatin1();
    }
    const QByteArray utf8 = clean.toUtf8();
    QByteArray value;
    qsizetype start = 0;
    while (start < utf8.size()) {
        qsizetype end = std::min(start + EncodedWordBytes, utf8.size());
        // Back off continuation bytes (10xxxxxx) so that no character is split.
        while (end < utf8.size() && end > start + 1 &&
               (static_cast<unsigned char>(utf8[end]) & 0xC0) == 0x80) {
            --end;
        }
        if (!value.isEmpty()) {
            value += ' ';
        }
        value += "=?UTF-8?B?" + utf8.mid(start, end - start).toBase64() + "?=";
        start = end;
    }
    return value;
}

/// Slack reads &, < and > as control characters (links, mentions such as <!channel>).
QString slackEscaped(QString text) {
    text.replace(u'&', QStringLiteral("&amp;"));
    text.replace(u'<', QStringLiteral("&lt;"));
    text.replace(u'>', QStringLiteral("&gt;"));
    return text;
}

QByteArray json(const QJsonObject &object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

/// `text` (a URL) without its user name and password.
QString withoutUserInfo(QString text) {
    static const QRegularExpression userInfo(QStringLiteral("^([^:/?#]*://)[^/?#]*@"));
    return text.replace(userInfo, QStringLiteral("\\1"));
}

/// Qt's words for a failure, with no secret of `url` or `token` in them.
QString scrubbed(QString text, const QUrl &url, const QString &token) {
    const QString secrets[] = {url.password(QUrl::FullyDecoded), url.password(QUrl::FullyEncoded),
                               token};
    for (const QString &secret : secrets) {
        if (!secret.isEmpty()) {
            text.replace(secret, QStringLiteral("***"));
        }
    }
    return withoutControls(text);
}

QString seconds(int ms) {
    return ms % 1000 == 0 ? QString::number(ms / 1000)
                          : QString::number(static_cast<double>(ms) / 1000.0, 'f', 1);
}

} // namespace

std::optional<WebhookFormat> webhookFormat(const QString &text) {
    const QString name = text.trimmed().toLower();
    if (name.isEmpty() || name == u"json") {
        return WebhookFormat::Json;
    }
    if (name == u"ntfy") {
        return WebhookFormat::Ntfy;
    }
    if (name == u"slack") {
        return WebhookFormat::Slack;
    }
    if (name == u"gotify") {
        return WebhookFormat::Gotify;
    }
    return std::nullopt;
}

WebhookRequest webhookRequest(const Alert &alert, WebhookFormat format) {
    WebhookRequest request;
    switch (format) {
    case WebhookFormat::Json: {
        request.contentType = "application/json";
        request.body = json({
            {QStringLiteral("kind"), alert.kind},
            {QStringLiteral("slot"), alert.slot},
            {QStringLiteral("name"), alert.name},
            {QStringLiteral("time"), isoTime(alert.time)},
            {QStringLiteral("host"), alert.host},
            {QStringLiteral("pid"),
             alert.pid == 0 ? QJsonValue(QJsonValue::Null) : QJsonValue(alert.pid)},
            {QStringLiteral("sentence"), alert.sentence},
            {QStringLiteral("detail"), textOrNull(alert.detail)},
            {QStringLiteral("exitCause"), textOrNull(alert.exitCause)},
            {QStringLiteral("output"), QJsonArray::fromStringList(alert.output)},
        });
        break;
    }
    case WebhookFormat::Ntfy: {
        request.contentType = "text/plain; charset=utf-8";
        request.headers = {
            {"Title", headerValue(title(alert))},
            {"Priority", alert.urgent ? QByteArray("urgent") : QByteArray("default")},
            {"Tags", headerValue(QString(alert.kind).replace(u' ', u'_'))},
        };
        request.body = messageText(alert).toUtf8();
        break;
    }
    case WebhookFormat::Slack:
        request.contentType = "application/json";
        request.body = json({{QStringLiteral("text"), slackEscaped(messageText(alert))}});
        break;
    case WebhookFormat::Gotify:
        request.contentType = "application/json";
        request.body = json({
            {QStringLiteral("title"), title(alert)},
            {QStringLiteral("message"), messageText(alert)},
            {QStringLiteral("priority"), alert.urgent ? 8 : 5},
        });
        break;
    }
    return request;
}

WebhookSender::WebhookSender(QObject *parent)
    : QObject(parent), manager_(new QNetworkAccessManager(this)) {
    retryTimer_.setSingleShot(true);
    connect(&retryTimer_, &QTimer::timeout, this, &WebhookSender::attempt);
}

WebhookSender::~WebhookSender() = default;

void WebhookSender::setSettings(const WebhookSettings &settings) {
    settings_ = settings;
}

void WebhookSender::setTimings(int timeoutMs, int firstRetryMs, int secondRetryMs) {
    timeoutMs_ = timeoutMs;
    firstRetryMs_ = firstRetryMs;
    secondRetryMs_ = secondRetryMs;
}

void WebhookSender::send(const Alert &alert) {
    waiting_.append(Job{alert, settings_, 0});
    if (waiting_.size() > QueueLimit) {
        waiting_.removeFirst();
        ++dropped_;
    }
    scheduleNext();
}

void WebhookSender::sendTest(const WebhookSettings &settings,
                             std::function<void(bool, const QString &)> done) {
    Alert alert;
    alert.kind = QStringLiteral("test");
    alert.time = QDateTime::currentDateTime();
    alert.host = QSysInfo::machineHostName();
    alert.sentence = QStringLiteral("This is a test alert from Perstando.");
    post(settings, alert, [done = std::move(done)](const Outcome &outcome) {
        if (done) {
            done(outcome.kind == Outcome::Kind::Delivered, outcome.text);
        }
    });
}

void WebhookSender::scheduleNext() {
    if (current_ || nextScheduled_ || waiting_.isEmpty()) {
        return;
    }
    // Started from the event loop, so that send() returns before any network work.
    nextScheduled_ = true;
    QTimer::singleShot(0, this, [this] {
        nextScheduled_ = false;
        next();
    });
}

void WebhookSender::next() {
    if (current_ || waiting_.isEmpty()) {
        return;
    }
    current_ = waiting_.takeFirst();
    attempt();
}

void WebhookSender::attempt() {
    if (!current_) {
        return;
    }
    ++current_->tries;
    post(current_->settings, current_->alert,
         [this](const Outcome &outcome) { attemptEnded(outcome); });
}

void WebhookSender::attemptEnded(const Outcome &outcome) {
    if (outcome.kind == Outcome::Kind::Retry && current_->tries < Tries) {
        retryTimer_.start(current_->tries == 1 ? firstRetryMs_ : secondRetryMs_);
        return;
    }
    current_.reset();
    scheduleNext();
    if (outcome.kind == Outcome::Kind::Delivered) {
        emit delivered();
        return;
    }
    lastFailure_ = QStringLiteral("webhook: ") + outcome.text;
    lastFailureTime_ = QDateTime::currentDateTime();
    emit failed(lastFailure_);
}

void WebhookSender::post(const WebhookSettings &settings, const Alert &alert,
                         std::function<void(const Outcome &)> done) {
    auto later = [this, &done](Outcome::Kind kind, const QString &text) {
        QTimer::singleShot(0, this, [done, outcome = Outcome{kind, text}] { done(outcome); });
    };
    const QUrl url(settings.url.trimmed(), QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty() ||
        (url.scheme() != u"http" && url.scheme() != u"https")) {
        later(Outcome::Kind::Final,
              QStringLiteral("%1 is no http or https address")
                  .arg(withoutControls(withoutUserInfo(settings.url.trimmed()))));
        return;
    }
    const QString host = url.host();

    QNetworkRequest request(url);
    // A redirect is answered as a failure: the alert and the token go nowhere else.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setHeader(QNetworkRequest::UserAgentHeader, QStringLiteral("Perstando"));
    const WebhookRequest content = webhookRequest(alert, settings.format);
    request.setRawHeader("Content-Type", content.contentType);
    for (const auto &[name, value] : content.headers) {
        request.setRawHeader(name, value);
    }
    const QString token = withoutControls(settings.token);
    if (!token.isEmpty()) {
        request.setRawHeader("Authorization", "Bearer " + token.toUtf8());
    }
    if (url.scheme() == u"https") {
        QList<QSslCertificate> authorities;
        if (!settings.caFile.isEmpty()) {
            const QString problem = smtp::readAuthorities(settings.caFile, authorities);
            if (!problem.isEmpty()) {
                later(Outcome::Kind::Final, problem);
                return;
            }
        }
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        if (!authorities.isEmpty()) {
            // Adding any authority ends Qt's loading of the system's on demand.
            tls.setCaCertificates(QSslConfiguration::systemCaCertificates() + authorities);
        }
        request.setSslConfiguration(tls);
    }

    struct State {
        bool timedOut = false;
        qint64 dropped = 0;
    };
    auto state = std::make_shared<State>();
    QNetworkReply *reply = manager_->post(request, content.body);
    reply->setReadBufferSize(MaxReply);
    auto *timer = new QTimer(reply);
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, reply, [reply, state] {
        state->timedOut = true;
        reply->abort();
    });
    timer->start(timeoutMs_);
    connect(reply, &QNetworkReply::readyRead, reply, [reply, state] {
        state->dropped += reply->skip(reply->bytesAvailable());
        if (state->dropped > MaxReply) {
            reply->abort(); // the status is in: a reply without end need not be read to it
        }
    });
    connect(
        reply, &QNetworkReply::finished, this,
        [this, reply, state, url, host, token, done = std::move(done)] {
            reply->deleteLater();
            const QVariant statusAttribute =
                reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
            const int status = statusAttribute.isValid() ? statusAttribute.toInt() : 0;
            Outcome outcome;
            if (state->timedOut) {
                outcome = {
                    Outcome::Kind::Retry,
                    QStringLiteral("%1 did not answer within %2 s").arg(host, seconds(timeoutMs_))};
            } else if (status >= 200 && status <= 299) {
                outcome = {Outcome::Kind::Delivered,
                           QStringLiteral("HTTP %1 from %2").arg(status).arg(host)};
            } else if (status > 0) {
                const QString phrase =
                    withoutControls(
                        reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString())
                        .left(MaxReasonPhrase);
                QString text = QStringLiteral("HTTP %1 from %2").arg(status).arg(host);
                if (status >= 300 && status <= 399) {
                    text += QStringLiteral(" (redirects are not followed)");
                } else if (!phrase.isEmpty()) {
                    text += QStringLiteral(" (%1)").arg(phrase);
                }
                outcome = {status >= 500 && status <= 599 ? Outcome::Kind::Retry
                                                          : Outcome::Kind::Final,
                           text};
            } else {
                outcome = {Outcome::Kind::Retry,
                           QStringLiteral("%1 (%2)").arg(scrubbed(reply->errorString(), url, token),
                                                         host)};
            }
            done(outcome);
        });
}

} // namespace engine
