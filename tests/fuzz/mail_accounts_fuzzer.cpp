// The mail-account reader on any prefs.js: it never fails, every account has
// an id, and a default names one of the accounts read.

#include "core/mail_accounts.h"
#include "tests/fuzz/fuzz_support.h"

#include <algorithm>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static const auto home = [] {
        const auto folder = fuzzing::scratchFolder() / "home";
        const auto profiles = folder / ".thunderbird";
        std::filesystem::create_directories(profiles / "p.default");
        fuzzing::writeWhole(profiles / "profiles.ini",
                            "[Profile0]\nName=default\nIsRelative=1\nPath=p.default\nDefault=1\n");
        return folder;
    }();
    fuzzing::writeWhole(home / ".thunderbird/p.default/prefs.js",
                        std::string(reinterpret_cast<const char *>(data), size));

    const auto store = core::readMailAccounts(home);
    if (!store) {
        fuzzing::failed("the profile was not found");
    }
    auto isAccount = [&](const std::string &id) {
        return std::any_of(store->accounts.begin(), store->accounts.end(),
                           [&](const core::MailAccount &a) { return a.id == id; });
    };
    for (const auto &account : store->accounts) {
        if (account.id.empty()) {
            fuzzing::failed("an account without an id");
        }
    }
    for (const auto *id : {&store->defaults.mail, &store->defaults.news, &store->defaults.ldap}) {
        if (!id->empty() && !isAccount(*id)) {
            fuzzing::failed("a default that is no account");
        }
    }
    return 0;
}
