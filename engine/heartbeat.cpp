#include "engine/heartbeat.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSocketNotifier>
#include <QStringList>

#include <algorithm>
#include <chrono>
#include <climits>
#include <memory>
#include <utility>

namespace engine {
namespace {

// A server's reason phrase or Qt's words go into a log line; a hostile one must not fill it.
constexpr qsizetype MaxReason = 100;
// Only the status counts: a reply's body is dropped as it comes, and one longer than this cut off.
constexpr qsizetype MaxReply = qsizetype{64} * 1024;

QString withoutControls(const QString &text) {
    QString kept;
    kept.reserve(text.size());
    for (const QChar c : text) {
        if (c.unicode() >= 0x20 && c.unicode() != 0x7f) {
            kept.append(c);
        }
    }
    return kept;
}

/// At most `limit` characters, a cut marked with an ellipsis and never splitting a pair.
QString bounded(const QString &text, qsizetype limit) {
    if (text.size() <= limit) {
        return text;
    }
    qsizetype end = limit - 1;
    if (text.at(end - 1).isHighSurrogate()) {
        --end;
    }
    return text.left(end) + QChar(0x2026);
}

QString programs(int count) {
    return QStringLiteral("%1 program%2 running")
        .arg(count)
        .arg(count == 1 ? QString() : QStringLiteral("s"));
}

QString seconds(int ms) {
    return ms % 1000 == 0 ? QString::number(ms / 1000)
                          : QString::number(static_cast<double>(ms) / 1000.0, 'f', 1);
}

/// `text` with no part of `urls` but their hosts: a push address's path and query are its secret.
QString scrubbed(QString text, const QList<QUrl> &urls) {
    for (const QUrl &url : urls) {
        for (const QString &whole :
             {url.toString(QUrl::FullyEncoded), url.toString(), url.toDisplayString()}) {
            if (!whole.isEmpty()) {
                text.replace(whole, url.host());
            }
        }
        const QString parts[] = {url.path(QUrl::FullyEncoded),     url.path(QUrl::FullyDecoded),
                                 url.query(QUrl::FullyEncoded),    url.query(QUrl::FullyDecoded),
                                 url.password(QUrl::FullyDecoded), url.userName()};
        for (const QString &part : parts) {
            if (part.size() > 1) {
                text.replace(part, QStringLiteral("***"));
            }
        }
    }
    return withoutControls(text).left(MaxReason);
}

QString failure(QNetworkReply *reply, const QUrl &url) {
    switch (reply->error()) {
    case QNetworkReply::ConnectionRefusedError:
        return QStringLiteral("connection refused");
    case QNetworkReply::HostNotFoundError:
        return QStringLiteral("host not found");
    case QNetworkReply::RemoteHostClosedError:
        return QStringLiteral("the connection was closed");
    case QNetworkReply::SslHandshakeFailedError:
        return QStringLiteral("TLS: ") + scrubbed(reply->errorString(), {url, reply->url()});
    default:
        return scrubbed(reply->errorString(), {url, reply->url()});
    }
}

} // namespace

HeartbeatState heartbeatState(const std::vector<SlotSummary> &watched, bool paused) {
    QStringList wrong;
    QStringList notes;
    int running = 0;
    int unchecked = 0;
    for (const SlotSummary &slot : watched) {
        const QString name = withoutControls(slot.name);
        switch (slot.phase) {
        case Phase::GaveUp:
            wrong << name + QStringLiteral(" gave up");
            break;
        case Phase::RestartFailed:
            wrong << name + QStringLiteral(" could not be restarted");
            break;
        case Phase::Unhealthy:
            wrong << name + QStringLiteral(" is not healthy");
            break;
        case Phase::OverLimit:
            wrong << name + QStringLiteral(" is over its limit");
            break;
        case Phase::NotResponding:
            notes << name + QStringLiteral(" is not responding");
            ++running;
            break;
        case Phase::Waiting:
            notes << name + QStringLiteral(" waits to be restarted");
            break;
        case Phase::Running:
        case Phase::Restarted:
            ++running;
            break;
        case Phase::NotCheckedYet:
            ++unchecked;
            break;
        case Phase::Unnamed:
        case Phase::Closed:
            break;
        }
    }
    QStringList parts;
    if (paused) {
        parts << QStringLiteral("checking paused");
    }
    if (wrong.isEmpty()) {
        parts << notes;
        QString count = watched.empty() ? QStringLiteral("no programs watched") : programs(running);
        if (unchecked > 0) {
            count += QStringLiteral(", %1 not checked yet").arg(unchecked);
        }
        parts << count;
    } else {
        parts << wrong;
    }
    return {wrong.isEmpty(), bounded(parts.join(QStringLiteral("; ")), Heartbeat::MaxMessage)};
}

QUrl heartbeatUrl(const QUrl &url, const HeartbeatState &state) {
    QStringList items;
    const QString query = url.query(QUrl::FullyEncoded);
    for (const QString &item : query.split(u'&', Qt::SkipEmptyParts)) {
        const QString key = QUrl::fromPercentEncoding(item.section(u'=', 0, 0).toUtf8());
        if (key != u"status" && key != u"msg") {
            items << item;
        }
    }
    items << (state.up ? QStringLiteral("status=up") : QStringLiteral("status=down"));
    items << QStringLiteral("msg=") + QString::fromLatin1(QUrl::toPercentEncoding(state.message));
    QUrl result(url);
    result.setQuery(items.join(u'&'), QUrl::StrictMode);
    result.setFragment({});
    return result;
}

Heartbeat::Heartbeat(StateSource state, Note note, QObject *parent)
    : QObject(parent), state_(std::move(state)), note_(std::move(note)),
      manager_(new QNetworkAccessManager(this)) {
    fallback_.setSingleShot(true);
    connect(&fallback_, &QTimer::timeout, this, &Heartbeat::due);
    if (timer_.valid()) {
        notifier_ = new QSocketNotifier(timer_.fd(), QSocketNotifier::Read, this);
        connect(notifier_, &QSocketNotifier::activated, this, [this] {
            if (timer_.take()) {
                due();
            }
        });
    }
}

Heartbeat::~Heartbeat() {
    stop();
}

void Heartbeat::apply(const QString &url, int seconds, const QString &method) {
    if (url == storedUrl_ && seconds == storedSeconds_ && method == storedMethod_) {
        return; // the pace goes on
    }
    storedUrl_ = url;
    storedSeconds_ = seconds;
    storedMethod_ = method;
    stop();
    url_ = QUrl();
    outageLogged_ = false;
    const QString text = url.trimmed();
    if (text.isEmpty()) {
        problem_.clear();
        return;
    }
    QStringList problems;
    const QUrl parsed(text, QUrl::StrictMode);
    const bool usable = parsed.isValid() && !parsed.host().isEmpty() &&
                        (parsed.scheme().compare(u"http", Qt::CaseInsensitive) == 0 ||
                         parsed.scheme().compare(u"https", Qt::CaseInsensitive) == 0);
    if (!usable) {
        // The address itself is not told: a push address holds its secret.
        problems << QStringLiteral("the address is no http or https address; nothing is sent");
    }
    const QString verb = method.trimmed();
    post_ = verb.compare(u"POST", Qt::CaseInsensitive) == 0;
    if (!post_ && !verb.isEmpty() && verb.compare(u"GET", Qt::CaseInsensitive) != 0) {
        problems << QStringLiteral("the method \"%1\" is not known; GET is used")
                        .arg(withoutControls(verb).left(MaxReason));
    }
    seconds_ = seconds > 0 ? seconds : 60;
    const QString problem =
        problems.isEmpty() ? QString() : QStringLiteral("heartbeat: ") + problems.join(u"; ");
    if (!problem.isEmpty() && problem != problem_) {
        note_(problem);
    }
    problem_ = problem;
    if (usable) {
        url_ = parsed;
        arm(0);
    }
}

void Heartbeat::arm(qint64 ms) {
    dueAt_ = core::BootTimer::now() + std::chrono::milliseconds(ms);
    if (timer_.valid() && timer_.arm(std::chrono::milliseconds(ms))) {
        return;
    }
    fallback_.start(static_cast<int>(std::min<qint64>(ms, INT_MAX)));
}

void Heartbeat::due() {
    if (!active()) {
        return;
    }
    // Due long ago: the machine slept or the process was stopped. A ping sent
    // before that gap says nothing of now, and the new one must not wait for it.
    if (core::BootTimer::now() - dueAt_ > LateMs) {
        abandonInFlight();
    }
    arm(static_cast<qint64>(seconds_) * 1000);
    if (!inFlight_) {
        ping(); // one still pending is not doubled: the next one is due an interval on
    }
}

void Heartbeat::ping() {
    const HeartbeatState state = state_ ? state_() : HeartbeatState{};
    QNetworkRequest request(heartbeatUrl(url_, state));
    // A redirect is answered as a failure: the push address goes nowhere else.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setHeader(QNetworkRequest::UserAgentHeader, QStringLiteral("Perstando"));
    QNetworkReply *reply = nullptr;
    if (post_) {
        request.setHeader(QNetworkRequest::ContentTypeHeader,
                          QStringLiteral("text/plain; charset=utf-8"));
        reply = manager_->post(request, state.message.toUtf8());
    } else {
        reply = manager_->get(request);
    }
    inFlight_ = reply;
    reply->setReadBufferSize(MaxReply);
    struct State {
        bool timedOut = false;
        bool cut = false;
        qint64 dropped = 0;
    };
    auto reading = std::make_shared<State>();
    auto *timer = new QTimer(reply);
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, reply, [reply, reading] {
        reading->timedOut = true;
        reply->abort();
    });
    timer->start(timeoutMs_);
    connect(reply, &QNetworkReply::readyRead, reply, [reply, reading] {
        reading->dropped += reply->skip(reply->bytesAvailable());
        if (reading->dropped > MaxReply) {
            reading->cut = true; // the status is in: a reply without end need not be read to it
            reply->abort();
        }
    });
    connect(reply, &QNetworkReply::finished, this,
            [this, reply, reading] { ended(reply, reading->timedOut, reading->cut); });
}

void Heartbeat::ended(QNetworkReply *reply, bool timedOut, bool cut) {
    reply->deleteLater();
    if (inFlight_ == reply) {
        inFlight_ = nullptr;
    }
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    QString why;
    if (timedOut) {
        why = QStringLiteral("no answer within %1 s").arg(seconds(timeoutMs_));
    } else if (status >= 300 && status <= 399) {
        why = QStringLiteral("HTTP %1 (redirects are not followed)").arg(status);
    } else if (status >= 400) {
        why = QStringLiteral("HTTP %1").arg(status);
        const QString phrase = withoutControls(
            reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString());
        if (!phrase.isEmpty()) {
            why += QStringLiteral(" (%1)").arg(phrase.left(MaxReason));
        }
    } else if (reply->error() != QNetworkReply::NoError && !cut) {
        why = failure(reply, url_);
    }
    const bool ok = why.isEmpty();
    if (ok && outageLogged_) {
        note_(QStringLiteral("The heartbeat to %1 gets through again.").arg(url_.host()));
        outageLogged_ = false;
    } else if (!ok && !outageLogged_) {
        note_(QStringLiteral("The heartbeat to %1 failed: %2.").arg(url_.host(), why));
        outageLogged_ = true;
    }
    emit pinged(ok);
}

void Heartbeat::stop() {
    timer_.disarm();
    fallback_.stop();
    abandonInFlight();
}

void Heartbeat::abandonInFlight() {
    if (QNetworkReply *reply = inFlight_) {
        inFlight_ = nullptr;
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
}

} // namespace engine
