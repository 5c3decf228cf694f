#include "engine/kept_token.h"

#include "core/mail_secret.h"
#include "core/program_folder.h"
#include "engine/password_lookup.h"

#include <QThread>

#include <algorithm>
#include <memory>

namespace engine {

void lookUpToken(const mailsecret::Item &item, QObject *context,
                 std::function<void(const std::optional<QString> &, const QString &)> done) {
    // A child of the context: gone with it, and its answer with it.
    auto *lookup = new PasswordLookup(context);
    QObject::connect(lookup, &PasswordLookup::finished, context,
                     [lookup, done = std::move(done)](const mailsecret::Lookup &r) {
                         lookup->deleteLater();
                         if (r.found()) {
                             done(QString::fromStdString(r.password), QString());
                         } else {
                             done(std::nullopt, QString::fromStdString(r.reason));
                         }
                     });
    lookup->start(item, QString::fromStdString(core::settingsFolder()));
}

void storeToken(const mailsecret::Item &item, const QString &token, QObject *context,
                std::function<void(const QString &problem)> done) {
    // A bearer token holds no blanks: those around it were pasted along.
    std::string secret = token.trimmed().toStdString();
    const bool removing = secret.empty();
    auto change = std::make_shared<mailsecret::Change>();
    const std::string folder = core::settingsFolder();
    // The keyring may take seconds to answer; the checks go on meanwhile.
    QThread *worker = QThread::create([change, item, folder, secret = std::move(secret)]() mutable {
        *change = secret.empty() ? mailsecret::forget(item, folder)
                                 : mailsecret::store(item, secret, folder);
        std::fill(secret.begin(), secret.end(), '\0');
    });
    QObject::connect(worker, &QThread::finished, context,
                     [change, removing, done = std::move(done)] {
                         if (change->ok) {
                             done(QString());
                             return;
                         }
                         done((removing ? QStringLiteral("The token was not removed: ")
                                        : QStringLiteral("The token was not stored: ")) +
                              QString::fromStdString(change->reason));
                     });
    QObject::connect(worker, &QThread::finished, worker, &QObject::deleteLater);
    worker->start();
}

} // namespace engine
