#pragma once
// A loopback HTTP server for the engine tests: records each request and answers
// with a scripted list of statuses, or holds its answers back.

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QPointer>
#include <QString>
#include <QTcpServer>
#include <QTcpSocket>

#include <chrono>
#include <utility>
#include <vector>

namespace testing_support {

struct HttpRequest {
    QByteArray method;
    QByteArray path;
    QList<QPair<QByteArray, QByteArray>> headers; ///< as received, in order
    QByteArray body;
    std::chrono::steady_clock::time_point received;
    /// The first header `name` (any case), or an empty array.
    QByteArray header(const QByteArray &name) const;
    bool hasHeader(const QByteArray &name) const;
};

struct HttpAnswer {
    int status = 200;
    QByteArray location = {}; ///< a Location header when not empty
    HttpAnswer() = default;
    HttpAnswer(int status) : status(status) {} ///< implicit: a list of statuses reads as one
    HttpAnswer(int status, QByteArray location) : status(status), location(std::move(location)) {}
};

/// Listens on 127.0.0.1, a free port. One request per connection: each answer
/// closes it.
class HttpReceiver {
public:
    /// On `port`, or a free one for 0 (a port another receiver had: its address again).
    explicit HttpReceiver(quint16 port = 0);
    HttpReceiver(const HttpReceiver &) = delete;
    HttpReceiver &operator=(const HttpReceiver &) = delete;

    quint16 port() const { return server_.serverPort(); }
    /// "http://127.0.0.1:<port><path>".
    QString url(const QString &path = QStringLiteral("/")) const;
    /// The statuses to answer, in order; the last one repeats. Empty: 200.
    void setAnswers(QList<HttpAnswer> answers) { answers_ = std::move(answers); }
    /// While held, requests are recorded and left unanswered; releasing answers
    /// the held ones that are still connected.
    void hold(bool on);
    const std::vector<HttpRequest> &requests() const { return requests_; }

private:
    void readFrom(QTcpSocket *socket);
    void answer(QTcpSocket *socket);

    QTcpServer server_;
    QList<HttpAnswer> answers_;
    qsizetype answered_ = 0;
    bool held_ = false;
    QList<QPointer<QTcpSocket>> waiting_;
    std::vector<HttpRequest> requests_;
};

} // namespace testing_support
