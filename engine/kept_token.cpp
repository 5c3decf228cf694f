#include "engine/kept_token.h"

#include "core/mail_secret.h"
#include "core/program_folder.h"
#include "engine/password_lookup.h"

#include <QFileInfo>
#include <QThread>

#include <algorithm>
#include <memory>

namespace engine {

void lookUpToken(const mailsecret::Item &item, QObject *context,
                 std::function<void(const std::optional<QString> &, const QString &)> done) {
    // A child of the context: gone with it, and its answer with it.
    auto *lookup = new PasswordLookup(context);
    const QString folder = QString::fromStdString(core::settingsFolder());
    QObject::connect(lookup, &PasswordLookup::finished, context,
                     [lookup, item, folder, done = std::move(done)](const mailsecret::Lookup &r) {
                         lookup->deleteLater();
                         const QString token = QString::fromStdString(r.password);
                         const QString file = QString::fromStdString(item.fileName);
                         const QString none =
                             QStringLiteral(" holds no ") + QString::fromStdString(item.noun);
                         // A file or item that is there but blank was meant to hold a token
                         // (an echo whose generator was missing): unreadable, never none.
                         if (r.found() && !token.trimmed().isEmpty()) {
                             done(token, QString());
                         } else if (r.found()) {
                             done(std::nullopt, (r.place == mailsecret::Place::File
                                                     ? file
                                                     : QStringLiteral("the keyring's item")) +
                                                    none);
                         } else if (r.outcome == mailsecret::Lookup::Outcome::NotStored &&
                                    QFileInfo::exists(folder + QLatin1Char('/') + file)) {
                             done(std::nullopt, file + none);
                         } else {
                             done(std::nullopt, QString::fromStdString(r.reason));
                         }
                     });
    lookup->start(item, folder);
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
