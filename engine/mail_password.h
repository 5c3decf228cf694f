#pragma once
// The mail password for the program's windows and e-mails: looked up and
// stored off the event loop, so the checks go on meanwhile.

#include "engine/mailer.h"

#include <QObject>
#include <QString>
#include <functional>

namespace engine {

/// The password of `user` at `server` (the keyring, else `mail-password`
/// beside the settings); `done` runs later on this thread unless `context`
/// is gone. Shaped as Mailer::PasswordSource.
void lookUpMailPassword(const QString &server, const QString &user, QObject *context,
                        Mailer::PasswordDone done);

/// Stores the password; `done` gets "" or why it could not be stored.
void storeMailPassword(const QString &server, const QString &user, const QString &password,
                       QObject *context, std::function<void(const QString &problem)> done);

} // namespace engine
