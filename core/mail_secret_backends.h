#pragma once
// The two places a kept secret can live, behind mailsecret::lookup/store/forget.

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

KeyringAnswer keyringLookup(const Item &item, std::chrono::milliseconds bound);
KeyringAnswer keyringStore(const Item &item, const std::string &secret,
                           std::chrono::milliseconds bound);
KeyringAnswer keyringClear(const Item &item, std::chrono::milliseconds bound);

/// The file `folder`/item.fileName: Found, NotStored or Unreadable with the reason.
Lookup readFile(const Item &item, const std::filesystem::path &folder);
Change writeFile(const Item &item, const std::filesystem::path &folder, const std::string &secret);
Change removeFile(const Item &item, const std::filesystem::path &folder);

} // namespace mailsecret::backend
