#pragma once
// A kept secret (the mail password, the webhook's token), looked up without
// holding the event loop.

#include "core/mail_secret.h"

#include <QMetaType>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <memory>
#include <string>

namespace engine {

/// Runs mailsecret::lookup (keyring, else the secret's file) on a worker
/// thread and reports the answer on this object's thread, so the slots' timers
/// keep ticking while a keyring is slow or hangs. A worker that outlives its
/// bound is abandoned: it ends on its own and its answer is dropped, even when
/// this object is gone by then.
class PasswordLookup : public QObject {
    Q_OBJECT

public:
    explicit PasswordLookup(QObject *parent = nullptr);
    ~PasswordLookup() override;

    /// Starts a lookup of `item`, with its file in `folder` (the folder of
    /// settings.ini). The answer of a lookup still running is dropped.
    /// finished() comes within about `bound` plus a few seconds, never from
    /// inside this call.
    void start(const mailsecret::Item &item, const QString &folder,
               std::chrono::milliseconds bound = mailsecret::KeyringBound);
    bool busy() const { return busy_; }

    /// Workers not ended yet, abandoned ones included.
    static int workersRunning();

signals:
    /// The answer: found (with where), none stored, or why it could not be read.
    void finished(const mailsecret::Lookup &result);

private:
    struct Shared;
    void deliver(quint64 ticket, const mailsecret::Lookup &result);
    void giveUp();

    std::shared_ptr<Shared> shared_;
    QTimer deadline_;
    std::string noun_;
    quint64 ticket_ = 0;
    bool busy_ = false;
};

} // namespace engine

Q_DECLARE_METATYPE(mailsecret::Lookup)
