#pragma once
// Tokens kept as the mail password is (the webhook's, the metrics endpoint's):
// in the desktop keyring when one answers, else in their file beside
// settings.ini, which only its owner may read. Never in settings.ini, a log,
// stderr or --status.

#include "core/mail_secret.h"

#include <QObject>
#include <QString>

#include <functional>
#include <optional>

namespace engine {

/// The token `item`; `done(token, problem)` runs later on this thread unless
/// `context` is gone: the token, or nullopt with "" when none is stored, or
/// nullopt with why it could not be read; a file or keyring item that is there
/// but holds only blanks is such a problem, not "none stored". The keyring may
/// take seconds; the event loop goes on meanwhile.
void lookUpToken(const mailsecret::Item &item, QObject *context,
                 std::function<void(const std::optional<QString> &, const QString &)> done);

/// Stores `token` as `item`; an empty one removes the stored token. `done` gets
/// "" or why it could not be stored.
void storeToken(const mailsecret::Item &item, const QString &token, QObject *context,
                std::function<void(const QString &problem)> done);

} // namespace engine
