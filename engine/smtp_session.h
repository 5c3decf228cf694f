#pragma once
// The program's mail connection: an SMTP session (RFC 5321) on QSslSocket,
// driven by events on the thread that owns it.

#include "engine/smtp_message.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSslCertificate>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <optional>

class QSslSocket;

namespace smtp {

/// Certificates trusted beside the system's for the server's TLS certificate.
/// The program adds none; tests add the self-signed certificate of their own
/// server. Nothing else about verification changes: the chain and the host
/// name are always checked.
void addTrustedCertificates(const QList<QSslCertificate> &certificates);

/// Reads the PEM authorities of `path` into `certificates`; returns why it
/// could not ("certificate authority file \"...\" is not a regular file"), or
/// "". Opened without blocking: a FIFO or device named by mistake must not hang
/// the caller. Also read for the HTTPS health probes.
QString readAuthorities(const QString &path, QList<QSslCertificate> &certificates);

/// One SMTP session at a time: connect, any number of messages, disconnect.
/// Every call returns at once; the conversation runs on socket events.
/// STARTTLS is used whenever the server offers it; port 465 means TLS from
/// the first byte. Every wait for the server is bounded by timeout().
/// With a login the session signs in (AUTH PLAIN, else LOGIN) and only over
/// TLS: a server that offers no encryption gets neither the password nor a
/// message, and the session fails.
class Session : public QObject {
    Q_OBJECT

public:
    static constexpr int DefaultTimeoutMs = 60000;

    explicit Session(QObject *parent = nullptr);
    ~Session() override;

    void setPort(int port) { port_ = port; }
    int port() const { return port_; }
    void setHost(const QString &host) { host_ = host; }
    QString host() const { return host_; }
    /// TLS from the first byte on port() even when it is not 465.
    void setImplicitTls(bool on) { implicitTls_ = on; }

    /// Signs in as `user` after EHLO on the encrypted connection; an empty
    /// user signs in nowhere. Takes effect at the next connectToServer(). The
    /// password is held for later sessions until replaced or destroyed, and
    /// then overwritten.
    void setLogin(const QString &user, const QString &password);
    /// A PEM file of authorities trusted beside the system's for the
    /// server's certificate; empty: none. A file that cannot be used fails
    /// the session at connect, naming the file.
    void setCaFile(const QString &path) { caFile_ = path; }

    /// Longest wait for any one answer (and for the connection) in ms.
    void setTimeout(int ms) { timeoutMs_ = ms; }
    int timeout() const { return timeoutMs_; }
    /// How long a disconnect lets queued and in-flight messages finish, in ms.
    void setDrainTimeout(int ms) { drainTimeoutMs_ = ms; }

    /// Opens a session with host() on port(). Ignored while one is open.
    void connectToServer();
    /// Queues a message; it goes out as soon as the session is ready. On a
    /// session that failed, or without one, it fails at once (messageFailed).
    void send(const Message &message);
    /// Ends the session: queued and in-flight messages finish first, bounded
    /// by the drain timeout; then QUIT and close. Without work it closes now.
    void disconnectFromServer();

    /// The answer to recipientRefused(): true tries the other recipients,
    /// false drops the message (nobody further gets it). Ignored when no
    /// question is open.
    void answerRefusal(bool goOn);

    /// True from connectToServer() until the session has ended.
    bool isActive() const;

signals:
    /// The server refused `address` with `response`. The message waits, the
    /// session open, until answerRefusal() says whether to go on.
    void recipientRefused(const QString &address, const QString &response);
    /// A message was accepted by the server.
    void messageSent();
    /// A message could not be delivered; `reason` says why in a few words.
    void messageFailed(const QString &reason);
    /// The session has ended, closed or failed.
    void finished();

private:
    enum class State {
        Idle,
        Failed,
        Connecting,
        Greeting,
        Ehlo,
        Helo,
        StartTls,
        Handshake,
        Auth,
        AuthUser,
        AuthPassword,
        Ready,
        MailFrom,
        RcptTo,
        Deciding,
        Data,
        Content,
        Reset,
        Quit,
    };

    void onConnected();
    void onEncrypted();
    void onReadyRead();
    void onSocketError();
    void onDisconnected();
    void onTimeout();
    void onDrainTimeout();

    void handleReply(const Reply &reply);
    void command(const QByteArray &line, State next);
    void sendEhlo();
    void greeted(const QStringList &extensions);
    void signIn();
    /// Sends `prefix` and `secret` in base64 as one line, then wipes every buffer
    /// that held the secret.
    void sendSecret(const QByteArray &prefix, QByteArray secret, State next);
    void sessionReady();
    void nextMessage();
    void nextRecipient();
    void messageDone(const QString &failure = {});
    void dropMessage(const QString &reason);
    void quit();
    void fail(const QString &reason);
    void endSession();
    void closeSocket();
    void failLater(const QString &reason);
    void rejectLater(const QString &reason);
    bool hasWork() const;
    bool awaitingReply() const;
    bool useImplicitTls() const { return implicitTls_ || port_ == 465; }

    QString host_;
    int port_ = 25;
    int timeoutMs_ = DefaultTimeoutMs;
    int drainTimeoutMs_ = DefaultTimeoutMs;
    bool implicitTls_ = false;
    QString user_;
    QString password_;
    QString caFile_;

    State state_ = State::Idle;
    QPointer<QSslSocket> socket_;
    QByteArray buffer_;
    QTimer replyTimer_;
    QTimer drainTimer_;
    bool quitRequested_ = false;
    bool startTlsOffered_ = false;
    QStringList authOffered_;
    bool encrypted_ = false;
    bool tcpConnected_ = false;
    int drainLeftMs_ = -1;
    quint64 session_ = 0;
    QString lastError_;
    QStringList tlsErrors_;

    QList<Message> queue_;
    std::optional<Message> current_;
    QStringList recipients_;
    int nextRecipient_ = 0;
    int accepted_ = 0;
};

} // namespace smtp
