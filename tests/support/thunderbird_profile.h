#pragma once
// Fabricated Thunderbird profiles in a temporary home folder.

#include <filesystem>
#include <optional>
#include <string>

namespace testing_support {

/// Points HOME at `home` until destroyed, then restores the previous value.
class ScopedHome {
public:
    explicit ScopedHome(const std::filesystem::path &home);
    ~ScopedHome();
    ScopedHome(const ScopedHome &) = delete;
    ScopedHome &operator=(const ScopedHome &) = delete;

private:
    std::optional<std::string> previous_;
};

/// Writes `root`/profiles.ini naming one default profile `folder` (relative)
/// and, unless `prefs` is nullopt, its prefs.js. `root` is relative to `home`.
std::filesystem::path writeThunderbirdProfile(const std::filesystem::path &home,
                                              const std::optional<std::string> &prefs,
                                              const std::string &root = ".thunderbird",
                                              const std::string &folder = "k3x9.default");

/// A prefs.js as Thunderbird writes it: an IMAP mail account (account1, the
/// default), local folders, a news account (account3), the personal address
/// book and an LDAP directory used for address completion.
std::string sampleAccountPrefs();

} // namespace testing_support
