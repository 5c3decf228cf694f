#include "tests/support/http_receiver.h"

#include <QHostAddress>

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace testing_support {
namespace {

QByteArray phrase(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 302:
        return "Found";
    case 307:
        return "Temporary Redirect";
    case 401:
        return "Unauthorized";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

} // namespace

QByteArray HttpRequest::header(const QByteArray &name) const {
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0) {
            return value;
        }
    }
    return {};
}

bool HttpRequest::hasHeader(const QByteArray &name) const {
    for (const auto &header : headers) {
        if (header.first.compare(name, Qt::CaseInsensitive) == 0) {
            return true;
        }
    }
    return false;
}

HttpReceiver::HttpReceiver(quint16 port) {
    if (!server_.listen(QHostAddress::LocalHost, port)) {
        throw std::runtime_error("HttpReceiver: cannot listen on 127.0.0.1");
    }
    QObject::connect(&server_, &QTcpServer::newConnection, &server_, [this] {
        while (QTcpSocket *socket = server_.nextPendingConnection()) {
            QObject::connect(socket, &QTcpSocket::readyRead, &server_,
                             [this, socket] { readFrom(socket); });
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
}

QString HttpReceiver::url(const QString &path) const {
    return QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(path);
}

void HttpReceiver::hold(bool on) {
    held_ = on;
    if (!on) {
        const QList<QPointer<QTcpSocket>> held = std::exchange(waiting_, {});
        for (const QPointer<QTcpSocket> &socket : held) {
            if (socket && socket->state() == QAbstractSocket::ConnectedState) {
                answer(socket);
            }
        }
    }
}

void HttpReceiver::readFrom(QTcpSocket *socket) {
    // What has come so far on this connection, until one whole request is there.
    QByteArray buffer = socket->property("received").toByteArray() + socket->readAll();
    socket->setProperty("received", buffer);
    const qsizetype headEnd = buffer.indexOf("\r\n\r\n");
    if (headEnd < 0 || socket->property("done").toBool()) {
        return;
    }
    HttpRequest request;
    const QList<QByteArray> lines = buffer.left(headEnd).split('\n');
    const QList<QByteArray> first = lines.first().trimmed().split(' ');
    request.method = first.value(0);
    request.path = first.value(1);
    qsizetype length = 0;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon < 0) {
            continue;
        }
        const QByteArray name = lines[i].left(colon).trimmed();
        const QByteArray value = lines[i].mid(colon + 1).trimmed();
        request.headers.append({name, value});
        if (name.compare("Content-Length", Qt::CaseInsensitive) == 0) {
            length = value.toLongLong();
        }
    }
    if (buffer.size() < headEnd + 4 + length) {
        return;
    }
    request.body = buffer.mid(headEnd + 4, length);
    request.received = std::chrono::steady_clock::now();
    socket->setProperty("done", true);
    requests_.push_back(request);
    if (held_) {
        waiting_.append(socket);
    } else {
        answer(socket);
    }
}

void HttpReceiver::answer(QTcpSocket *socket) {
    const HttpAnswer next = answers_.isEmpty()
                                ? HttpAnswer(200)
                                : answers_.value(std::min(answered_, answers_.size() - 1));
    ++answered_;
    QByteArray response = "HTTP/1.1 " + QByteArray::number(next.status) + ' ' +
                          phrase(next.status) + "\r\nContent-Length: 0\r\nConnection: close\r\n";
    if (!next.location.isEmpty()) {
        response += "Location: " + next.location + "\r\n";
    }
    socket->write(response + "\r\n");
    socket->disconnectFromHost();
}

} // namespace testing_support
