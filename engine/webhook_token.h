#pragma once
// The webhook's token, stored as the mail password is: in the desktop keyring
// when one answers, else in the file webhook-token beside settings.ini, which
// only its owner may read. Never in settings.ini, a log, stderr or --status.

#include <QObject>
#include <QString>

#include <functional>
#include <optional>

namespace engine {

/// The stored token; `done(token, problem)` runs later on this thread unless
/// `context` is gone: the token, or nullopt with "" when none is stored, or
/// nullopt with why it could not be read.
void lookUpWebhookToken(QObject *context,
                        std::function<void(const std::optional<QString> &, const QString &)> done);

/// Stores `token`; an empty one removes the stored token. `done` gets "" or
/// why it could not be stored.
void storeWebhookToken(const QString &token, QObject *context,
                       std::function<void(const QString &problem)> done);

} // namespace engine
