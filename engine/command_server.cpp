#include "engine/command_server.h"

#include "core/command_channel.h"

#include <QSocketNotifier>
#include <QTimer>

namespace engine {

struct CommandServer::Connection {
    core::UniqueFd fd;
    std::string request;
    QSocketNotifier *notifier = nullptr;
    QTimer *deadline = nullptr;
};

CommandServer::CommandServer(int listeningFd, Handler handler, QObject *parent)
    : QObject(parent), handler_(std::move(handler)) {
    listener_ = new QSocketNotifier(listeningFd, QSocketNotifier::Read, this);
    connect(listener_, &QSocketNotifier::activated, this, &CommandServer::acceptWaiting);
}

CommandServer::~CommandServer() {
    while (!connections_.empty()) {
        drop(connections_.back().get());
    }
}

void CommandServer::acceptWaiting() {
    for (core::UniqueFd fd = core::commands::accept(listener_->socket()); fd;
         fd = core::commands::accept(listener_->socket())) {
        // Asked before anything is read: another account learns nothing.
        if (!core::commands::peerTrusted(fd.get())) {
            core::commands::write(
                fd.get(),
                core::commands::reply(false, "permission denied: only its own account may ask\n"));
            continue;
        }
        if (std::ssize(connections_) >= MaxConnections) {
            core::commands::write(fd.get(), core::commands::reply(false, "busy, try again\n"));
            continue;
        }
        auto connection = std::make_unique<Connection>();
        Connection *c = connection.get();
        c->fd = std::move(fd);
        c->notifier = new QSocketNotifier(c->fd.get(), QSocketNotifier::Read, this);
        c->deadline = new QTimer(this);
        c->deadline->setSingleShot(true);
        connect(c->notifier, &QSocketNotifier::activated, this, [this, c] { readFrom(c); });
        connect(c->deadline, &QTimer::timeout, this,
                [this, c] { finish(c, QStringLiteral("request incomplete"), false); });
        c->deadline->start(RequestMs);
        connections_.push_back(std::move(connection));
    }
}

void CommandServer::readFrom(Connection *connection) {
    switch (core::commands::readRequest(connection->fd.get(), connection->request)) {
    case core::commands::Read::More:
        return;
    case core::commands::Read::Closed:
        drop(connection);
        return;
    case core::commands::Read::TooLong:
        finish(connection, QStringLiteral("request too long"), false);
        return;
    case core::commands::Read::Line:
        break;
    }
    // The handler may end the program (quit): the reply goes out first.
    connection->notifier->setEnabled(false);
    connection->deadline->stop();
    const Reply reply = handler_(QString::fromUtf8(connection->request).trimmed());
    finish(connection, reply.text, reply.ok);
}

void CommandServer::finish(Connection *connection, const QString &reply, bool ok) {
    QString text = reply;
    if (!text.isEmpty() && !text.endsWith(QLatin1Char('\n'))) {
        text += QLatin1Char('\n');
    }
    core::commands::write(connection->fd.get(), core::commands::reply(ok, text.toStdString()));
    drop(connection);
}

void CommandServer::drop(Connection *connection) {
    // The notifier goes before its descriptor closes with the connection.
    delete connection->notifier;
    delete connection->deadline;
    std::erase_if(connections_, [connection](const auto &c) { return c.get() == connection; });
}

} // namespace engine
