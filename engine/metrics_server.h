#pragma once
// The metrics over HTTP for a Prometheus scraper: GET /metrics on the address
// of [metrics] listen, loopback unless another address is written. With a
// stored metrics token, only a request that carries it is answered; beyond
// loopback nothing is answered without one. Nothing here waits: connections,
// reads and the token's lookup all run on signals.

#include "core/file_stamp.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QTcpServer;
class QTcpSocket;
class QTimer;

namespace engine {

class MetricsServer : public QObject {
    Q_OBJECT

public:
    /// Where the metrics are served.
    struct Address {
        QHostAddress host;
        quint16 port = 0;
        /// "127.0.0.1:9464", "[::1]:9464".
        QString text() const;
        bool operator==(const Address &other) const = default;
    };
    /// What a scrape gets: its Content-Type and the metrics themselves.
    struct Body {
        QByteArray contentType;
        QByteArray body;
    };
    /// Renders the metrics for a request's Accept header (empty when none came).
    using Renderer = std::function<Body(const QByteArray &accept)>;
    /// Writes one sentence to Perstando's log.
    using Log = std::function<void(const QString &line)>;

    /// The head of a request (request line and headers) may be this long.
    static constexpr qsizetype MaxHeadBytes = 8192;
    /// How long a request's head may take to arrive after its connection.
    static constexpr int RequestMs = 2000;
    /// Connections kept from loopback peers, and apart from them from the
    /// others, so that the network cannot crowd out a local scraper. Beyond
    /// it the oldest connection still without its head is closed, though not
    /// before it has had GraceMs to send one.
    static constexpr int MaxConnections = 8;
    static constexpr int GraceMs = 20;
    /// Open from one side at most (a flood): beyond it the oldest without its
    /// head is closed at once, or while all are being answered the new one
    /// gets 503.
    static constexpr int MaxOpen = 64;
    /// How long an answer may take to be taken by its client.
    static constexpr int ReplyMs = 10000;

    MetricsServer(Renderer renderer, Log log, QObject *parent = nullptr);
    ~MetricsServer() override;

    /// "127.0.0.1:9464", "[::1]:9464", "0.0.0.0:9464", "localhost:9464", or a
    /// port alone ("9464", ":9464") on 127.0.0.1. Anything else is nullopt and
    /// `problem` (when given) says why.
    static std::optional<Address> parseListen(const QString &text, QString *problem);

    /// Serves on `listen` (as [metrics] listen holds it); empty stops serving.
    /// A changed address binds anew; the same address tried before and failed
    /// is tried again. Looks the token up again too. A problem is logged once
    /// until it changes or serving succeeds; nothing retries on its own.
    void apply(const QString &listen);
    /// Looks the stored token up again (after it was stored or removed).
    void reloadToken();
    /// Looks the token up again when its file or settings.ini changed since
    /// the last lookup (a keyring item cannot be watched; a save of the
    /// settings is when one is stored). Costs two stats otherwise.
    void noticeChanges();

    /// Where it serves now; nullopt while it does not.
    std::optional<Address> serving() const;

private:
    struct Connection;
    enum class Token { Pending, None, Present, Unreadable };

    void stop();
    void acceptWaiting();
    /// Closes the oldest connections without a head beyond MaxConnections.
    void trim();
    qsizetype openFrom(bool local) const;
    void readFrom(Connection *connection);
    QByteArray answerTo(const QByteArray &head) const;
    void answer(Connection *connection, const QByteArray &reply);
    void drop(Connection *connection);
    void note(const QString &problem);
    /// Beyond loopback, says once whether a token now guards the metrics.
    void tellGuard();

    Renderer renderer_;
    Log log_;
    QTcpServer *listener_ = nullptr;
    std::optional<Address> address_;
    std::vector<std::unique_ptr<Connection>> connections_; ///< oldest first
    QTimer *trimTimer_ = nullptr;
    Token token_ = Token::Pending;
    QByteArray tokenHash_; ///< SHA-256 of the stored token: the token itself is not kept
    quint64 tokenLookups_ = 0;
    QString problem_;      ///< the last problem logged, so it is logged once
    QString tokenProblem_; ///< the last reason the token could not be read
    bool servedTold_ = false;
    /// The token's file and settings.ini as the last lookup found them.
    core::FileStamp tokenStamp_;
    core::FileStamp settingsStamp_;
};

} // namespace engine
