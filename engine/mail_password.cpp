#include "engine/mail_password.h"

#include "core/mail_secret.h"
#include "core/program_folder.h"
#include "engine/password_lookup.h"

#include <QThread>
#include <algorithm>
#include <memory>

namespace engine {

void lookUpMailPassword(const QString &typedServer, const QString &user, QObject *context,
                        Mailer::PasswordDone done) {
    // The session connects to the server without the blanks around it: the
    // keyring's entry is made and found under that name too.
    const QString server = typedServer.trimmed();
    // A child of the context: gone with it, and its answer with it.
    auto *lookup = new PasswordLookup(context);
    QObject::connect(
        lookup, &PasswordLookup::finished, context,
        [lookup, server, user, done = std::move(done)](const mailsecret::Lookup &r) {
            lookup->deleteLater();
            if (r.found()) {
                done(QString::fromStdString(r.password), QString());
            } else if (r.outcome == mailsecret::Lookup::Outcome::NotStored) {
                done(std::nullopt,
                     QStringLiteral("no password is stored for %1 at %2").arg(user, server));
            } else {
                done(std::nullopt, QString::fromStdString(r.reason));
            }
        });
    lookup->start(mailsecret::mailPassword(server.toStdString(), user.toStdString()),
                  QString::fromStdString(core::settingsFolder()));
}

void storeMailPassword(const QString &typedServer, const QString &user, const QString &password,
                       QObject *context, std::function<void(const QString &problem)> done) {
    const QString server = typedServer.trimmed();
    auto change = std::make_shared<mailsecret::Change>();
    const std::string folder = core::settingsFolder();
    // The keyring may take seconds to answer; the checks go on meanwhile.
    QThread *worker =
        QThread::create([change, folder, server = server.toStdString(), user = user.toStdString(),
                         secret = password.toStdString()]() mutable {
            *change = mailsecret::store(mailsecret::mailPassword(server, user), secret, folder);
            std::fill(secret.begin(), secret.end(), '\0');
        });
    QObject::connect(worker, &QThread::finished, context, [change, done = std::move(done)] {
        done(change->ok ? QString()
                        : QStringLiteral("The password was not stored: ") +
                              QString::fromStdString(change->reason));
    });
    QObject::connect(worker, &QThread::finished, worker, &QObject::deleteLater);
    worker->start();
}

} // namespace engine
