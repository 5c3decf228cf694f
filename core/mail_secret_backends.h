#pragma once
// The two places a mail password can live, behind mailsecret::lookup/store/forget.

#include "core/mail_secret.h"

#include <chrono>
#include <filesystem>
#include <string>

namespace mailsecret::backend {

/// What the keyring said. `Absent` means no Secret Service is there to ask
/// (no session bus, nobody owning the service's name): the file stands in.
struct KeyringAnswer {
    enum class Kind { Done, Absent, Failed };
    Kind kind = Kind::Absent;
    bool found = false;   ///< lookup: an item matched; clear: one was removed
    std::string password; ///< lookup: the item's secret
    std::string reason;   ///< why, when absent or failed
};

KeyringAnswer keyringLookup(const std::string &server, const std::string &user,
                            std::chrono::milliseconds bound);
KeyringAnswer keyringStore(const std::string &server, const std::string &user,
                           const std::string &password, std::chrono::milliseconds bound);
KeyringAnswer keyringClear(const std::string &server, const std::string &user,
                           std::chrono::milliseconds bound);

/// The file `folder`/mail-password: Found, NotStored or Unreadable with the reason.
Lookup readFile(const std::filesystem::path &folder);
Change writeFile(const std::filesystem::path &folder, const std::string &password);
Change removeFile(const std::filesystem::path &folder);

} // namespace mailsecret::backend
