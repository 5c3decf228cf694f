#include "core/mail_secret.h"
#include "core/mail_secret_backends.h"

namespace mailsecret {

using backend::KeyringAnswer;

Lookup lookup(const std::string &server, const std::string &user,
              const std::filesystem::path &folder, std::chrono::milliseconds bound) {
    KeyringAnswer keyring = backend::keyringLookup(server, user, bound);
    if (keyring.kind == KeyringAnswer::Kind::Done && keyring.found) {
        Lookup result;
        result.outcome = Lookup::Outcome::Found;
        result.place = Place::Keyring;
        result.password = std::move(keyring.password);
        return result;
    }
    // The file also stands in where the keyring has nothing: an administrator
    // may have put it there on purpose, and it is as strictly checked.
    Lookup file = backend::readFile(folder);
    if (file.outcome == Lookup::Outcome::NotStored && keyring.kind == KeyringAnswer::Kind::Failed) {
        file.outcome = Lookup::Outcome::Unreadable;
        file.reason = keyring.reason;
    }
    return file;
}

Change store(const std::string &server, const std::string &user, const std::string &password,
             const std::filesystem::path &folder, std::chrono::milliseconds bound) {
    if (password.empty()) {
        return {false, Place::Nowhere, "an empty password is not stored"};
    }
    if (password.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
        return {false, Place::Nowhere, "the password holds a line break or a NUL character"};
    }
    const KeyringAnswer keyring = backend::keyringStore(server, user, password, bound);
    switch (keyring.kind) {
    case KeyringAnswer::Kind::Done:
        return {true, Place::Keyring, {}};
    case KeyringAnswer::Kind::Failed:
        return {false, Place::Nowhere, keyring.reason};
    case KeyringAnswer::Kind::Absent:
        break;
    }
    return backend::writeFile(folder, password);
}

Change forget(const std::string &server, const std::string &user,
              const std::filesystem::path &folder, std::chrono::milliseconds bound) {
    const KeyringAnswer keyring = backend::keyringClear(server, user, bound);
    Change file = backend::removeFile(folder);
    if (keyring.kind == KeyringAnswer::Kind::Failed) {
        return {false, Place::Keyring, keyring.reason};
    }
    if (file.ok && keyring.kind == KeyringAnswer::Kind::Done && keyring.found) {
        file.place = Place::Keyring;
    }
    return file;
}

} // namespace mailsecret
