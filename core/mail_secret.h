#pragma once
// The secrets Perstando keeps, the mail password and the webhook's token: in
// the desktop keyring (Secret Service) when one answers, else in a file beside
// settings.ini which only its owner may read. Never in settings.ini, a log or
// an error text.

#include <chrono>
#include <filesystem>
#include <string>

namespace mailsecret {

/// Where a secret was found or went.
enum class Place { Nowhere, Keyring, File };

/// One kept secret: its file and its keyring item. The item carries the
/// attributes application=perstando, server and user, which is how an
/// administrator finds or makes it with secret-tool.
struct Item {
    std::string fileName; ///< in the settings folder; one line, the secret
    std::string server;   ///< the keyring attribute "server"
    std::string user;     ///< the keyring attribute "user"
    std::string label;    ///< the keyring item's label, as keyring windows show it
    std::string schema;   ///< the keyring schema's name, kept on the items stored
    std::string noun;     ///< "password", "token": what the messages call it
};

/// The file of the mail password where no keyring answers.
inline constexpr const char *FileName = "mail-password";
/// The file of the webhook's token where no keyring answers.
inline constexpr const char *TokenFileName = "webhook-token";
/// The file of the metrics endpoint's token where no keyring answers.
inline constexpr const char *MetricsTokenFileName = "metrics-token";

/// The password of `user` on the mail server `server`.
Item mailPassword(const std::string &server, const std::string &user);
/// The webhook's token: server "webhook", user "token".
Item webhookToken();
/// The token a scraper must send to the metrics endpoint: server "metrics", user "token".
Item metricsToken();

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
    std::string password; ///< The secret; empty unless found. Never print or log it.
    std::string reason;   ///< Why it could not be read, for the user.

    bool found() const { return outcome == Outcome::Found; }
};

struct Change {
    bool ok = false;
    Place place = Place::Nowhere; ///< Where the secret went (store) or was removed from.
    std::string reason;           ///< Why it failed, for the user.
};

/// The secret `item`: the keyring's item with its attributes (also one an
/// administrator made with secret-tool); where the keyring has none or does not
/// answer, the file `folder`/item.fileName. The file is refused unless it is a
/// regular file (not a link, FIFO or device) owned by this user with no group
/// or other permission, no larger than 4 KiB. Waits for the keyring at most
/// `bound`, plus two seconds for a cancelled call to come back; one that does
/// not is left behind (a keyring that fails or hangs is then reported as the
/// reason, unless the file has the secret).
Lookup lookup(const Item &item, const std::filesystem::path &folder,
              std::chrono::milliseconds bound = KeyringBound);

/// Stores the secret in the keyring when a Secret Service answers, else in
/// the file, written whole beside it with mode 0600 and renamed over it (a link
/// of that name is replaced, never written through). A keyring that answers but
/// fails (locked, refused, too slow) is an error: the secret does not silently
/// go to a file instead. An empty secret, or one holding a line break or NUL,
/// is refused: it could not be read back or sent.
Change store(const Item &item, const std::string &secret, const std::filesystem::path &folder,
             std::chrono::milliseconds bound = KeyringBound);

/// Removes the secret from the keyring (when it answers) and the file, for a
/// field emptied on purpose. `place` is Keyring when the keyring held it (or
/// failed), else File; removing what is not there is no error.
Change forget(const Item &item, const std::filesystem::path &folder,
              std::chrono::milliseconds bound = KeyringBound);

} // namespace mailsecret
