#pragma once
// The running copy's end of the shell commands: it takes connections on the
// single-instance socket, reads one request each and answers it. A client
// that says nothing or sends rubbish is dropped after a while; the checks
// never wait for one.

#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <vector>

class QSocketNotifier;
class QTimer;

namespace engine {

class CommandServer : public QObject {
    Q_OBJECT

public:
    struct Reply {
        bool ok = true;
        QString text;
    };
    /// Answers a request line; runs in the event loop.
    using Handler = std::function<Reply(const QString &request)>;

    /// Listens on `listeningFd` (owned by the caller) while this object lives.
    CommandServer(int listeningFd, Handler handler, QObject *parent);
    ~CommandServer() override;

    /// How long a request may take to arrive, and how many may be open.
    static constexpr int RequestMs = 2000;
    static constexpr int MaxConnections = 8;

private:
    struct Connection;
    void acceptWaiting();
    void readFrom(Connection *connection);
    void finish(Connection *connection, const QString &reply, bool ok);
    void drop(Connection *connection);

    Handler handler_;
    QSocketNotifier *listener_ = nullptr;
    std::vector<std::unique_ptr<Connection>> connections_;
};

} // namespace engine
