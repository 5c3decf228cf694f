#pragma once
// The password of the mail account: in the desktop keyring (Secret Service)
// when one answers, else in the file mail-password beside settings.ini, which
// only its owner may read. Never in settings.ini, a log or an error text.

#include <chrono>
#include <filesystem>
#include <string>

namespace mailsecret {

/// Where a password was found or went.
enum class Place { Nowhere, Keyring, File };

/// The file in the settings folder that holds the password where no keyring
/// answers: one line, the password.
inline constexpr const char *FileName = "mail-password";

/// How long the keyring may take to answer one request. A locked keyring
/// waiting for someone to type its password must not hold the caller longer.
inline constexpr std::chrono::milliseconds KeyringBound{5000};

struct Lookup {
    enum class Outcome {
        Found,     ///< `password` holds it; `place` says where it was
        NotStored, ///< neither the keyring nor the file has one
        Unreadable ///< `reason` says why (a refused file, a keyring that failed)
    };
    Outcome outcome = Outcome::NotStored;
    Place place = Place::Nowhere;
    std::string password; ///< Empty unless found. Never print or log it.
    std::string reason;   ///< Why it could not be read, for the user.

    bool found() const { return outcome == Outcome::Found; }
};

struct Change {
    bool ok = false;
    Place place = Place::Nowhere; ///< Where the password went (store) or was removed from.
    std::string reason;           ///< Why it failed, for the user.
};

/// The password of `user` on `server`: the keyring's item with the attributes
/// application=perstando, server, user (also one an administrator made with
/// secret-tool); where the keyring has none or does not answer, the file
/// `folder`/mail-password. The file is refused unless it is a regular file
/// (not a link, FIFO or device) owned by this user with no group or other
/// permission, no larger than 4 KiB. Waits for the keyring at most `bound`,
/// plus two seconds for a cancelled call to come back; one that does not is
/// left behind (a keyring that fails or hangs is then reported as the reason,
/// unless the file has the password).
Lookup lookup(const std::string &server, const std::string &user,
              const std::filesystem::path &folder, std::chrono::milliseconds bound = KeyringBound);

/// Stores the password in the keyring when a Secret Service answers, else in
/// `folder`/mail-password, written whole beside it with mode 0600 and renamed
/// over it (a link of that name is replaced, never written through). A keyring
/// that answers but fails (locked, refused, too slow) is an error: the password
/// does not silently go to a file instead. An empty password, or one holding a
/// line break or NUL, is refused: it could not be read back or sent.
Change store(const std::string &server, const std::string &user, const std::string &password,
             const std::filesystem::path &folder, std::chrono::milliseconds bound = KeyringBound);

/// Removes the account's password from the keyring (when it answers) and the
/// file, for a password field emptied on purpose. `place` is Keyring when the
/// keyring held it (or failed), else File; removing what is not there is no error.
Change forget(const std::string &server, const std::string &user,
              const std::filesystem::path &folder, std::chrono::milliseconds bound = KeyringBound);

} // namespace mailsecret
