#include "core/mail_secret.h"
#include "core/mail_secret_backends.h"

namespace mailsecret {

using backend::KeyringAnswer;

Item mailPassword(const std::string &server, const std::string &user) {
    // Stored keyrings and files depend on these names: they never change.
    return {FileName,
            server,
            user,
            "Perstando mail password for " + user + " on " + server,
            "org.perstando.Mail",
            "password"};
}

Item webhookToken() {
    return {TokenFileName,           "webhook", "token", "Perstando webhook token",
            "org.perstando.Webhook", "token"};
}

Item metricsToken() {
    return {MetricsTokenFileName,    "metrics", "token", "Perstando metrics token",
            "org.perstando.Metrics", "token"};
}

Lookup lookup(const Item &item, const std::filesystem::path &folder,
              std::chrono::milliseconds bound) {
    KeyringAnswer keyring = backend::keyringLookup(item, bound);
    if (keyring.kind == KeyringAnswer::Kind::Done && keyring.found) {
        Lookup result;
        result.outcome = Lookup::Outcome::Found;
        result.place = Place::Keyring;
        result.password = std::move(keyring.password);
        return result;
    }
    // The file also stands in where the keyring has nothing: an administrator
    // may have put it there on purpose, and it is as strictly checked.
    Lookup file = backend::readFile(item, folder);
    if (file.outcome == Lookup::Outcome::NotStored && keyring.kind == KeyringAnswer::Kind::Failed) {
        file.outcome = Lookup::Outcome::Unreadable;
        file.reason = keyring.reason;
    }
    return file;
}

Change store(const Item &item, const std::string &secret, const std::filesystem::path &folder,
             std::chrono::milliseconds bound) {
    if (secret.empty()) {
        return {false, Place::Nowhere, "an empty " + item.noun + " is not stored"};
    }
    if (secret.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
        return {false, Place::Nowhere,
                "the " + item.noun + " holds a line break or a NUL character"};
    }
    const KeyringAnswer keyring = backend::keyringStore(item, secret, bound);
    switch (keyring.kind) {
    case KeyringAnswer::Kind::Done:
        return {true, Place::Keyring, {}};
    case KeyringAnswer::Kind::Failed:
        return {false, Place::Nowhere, keyring.reason};
    case KeyringAnswer::Kind::Absent:
        break;
    }
    return backend::writeFile(item, folder, secret);
}

Change forget(const Item &item, const std::filesystem::path &folder,
              std::chrono::milliseconds bound) {
    const KeyringAnswer keyring = backend::keyringClear(item, bound);
    Change file = backend::removeFile(item, folder);
    if (keyring.kind == KeyringAnswer::Kind::Failed) {
        return {false, Place::Keyring, keyring.reason};
    }
    if (file.ok && keyring.kind == KeyringAnswer::Kind::Done && keyring.found) {
        file.place = Place::Keyring;
    }
    return file;
}

} // namespace mailsecret
