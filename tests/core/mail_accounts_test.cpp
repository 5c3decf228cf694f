#include "core/mail_accounts.h"
#include "tests/support/test_support.h"
#include "tests/support/thunderbird_profile.h"

#include <gtest/gtest.h>

namespace {

using testing_support::readFile;
using testing_support::sampleAccountPrefs;
using testing_support::TempDir;
using testing_support::writeFile;
using testing_support::writeThunderbirdProfile;

std::string prefLine(const std::string &name, const std::string &value) {
    return "user_pref(\"" + name + "\", \"" + value + "\");\n";
}

TEST(MailAccounts, SampleProfileGivesMailNewsAndDirectoryRecords) {
    TempDir home;
    const auto profile = writeThunderbirdProfile(home.path(), sampleAccountPrefs());
    const auto before = readFile(profile / "prefs.js");

    const auto store = core::readMailAccounts(home.path());
    ASSERT_TRUE(store);
    EXPECT_EQ(store->defaults,
              (core::DefaultMailAccounts{"account1", "account3", "ldap_2.servers.Corporate"}));
    ASSERT_EQ(store->accounts.size(), 3U); // local folders and the address book are left out

    core::MailAccount mail;
    mail.id = "account1";
    mail.accountName = "Work mail";
    mail.smtpSignature = "Jane \"JD\" Doe";
    mail.smtpServer = "smtp.example.com"; // the identity's own server, not the default
    mail.smtpUserName = "jane.smtp";
    mail.smtpEmailAddress = mail.pop3EmailAddress = "jane@example.com";
    mail.smtpReplyToEmailAddress = mail.pop3ReplyToEmailAddress = "replies@example.com";
    mail.pop3Server = "imap.example.com";
    mail.pop3UserName = "jane";
    EXPECT_EQ(store->accounts[0], mail);

    core::MailAccount news;
    news.id = "account3";
    news.accountName = "News for Jane";
    news.nntpSignature = "Jane Doe";
    news.nntpServer = "news.example.org";
    news.nntpUserName = "jdoe";
    news.nntpEmailAddress = "jane@example.org";
    news.nntpReplyToEmailAddress = "news-replies@example.org";
    EXPECT_EQ(store->accounts[1], news);

    core::MailAccount directory;
    directory.id = "ldap_2.servers.Corporate";
    directory.accountName = "Corporate Directory";
    directory.ldapServer = "ldap.example.com";
    directory.ldapUrl = "ldap://ldap.example.com:389/dc=example,dc=com??sub?(objectclass=*)";
    EXPECT_EQ(store->accounts[2], directory);

    // Read-only: the profile is left as it was and nothing is added beside it.
    EXPECT_EQ(readFile(profile / "prefs.js"), before);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(profile), {}), 1);
}

TEST(MailAccounts, NoProfileMeansNoStoreAndAnEmptyProfileNoAccounts) {
    TempDir home;
    EXPECT_FALSE(core::readMailAccounts(home.path()));
    // profiles.ini naming a folder that is gone counts as no profile.
    writeThunderbirdProfile(home.path(), std::nullopt);
    std::filesystem::remove(home / ".thunderbird/k3x9.default");
    EXPECT_FALSE(core::readMailAccounts(home.path()));

    writeThunderbirdProfile(home.path(), std::nullopt);
    const auto store = core::readMailAccounts(home.path());
    ASSERT_TRUE(store);
    EXPECT_EQ(store->defaults, core::DefaultMailAccounts{});
    EXPECT_TRUE(store->accounts.empty());
}

TEST(MailAccounts, FindsTheProfileThunderbirdWouldOpen) {
    TempDir home;
    const auto base = home / ".thunderbird";
    const std::string mailAccount = prefLine("mail.accountmanager.accounts", "a") +
                                    prefLine("mail.account.a.server", "s") +
                                    prefLine("mail.server.s.type", "pop3");
    auto profileWith = [&](const std::filesystem::path &folder, const std::string &host) {
        std::filesystem::create_directories(folder);
        writeFile(folder / "prefs.js", mailAccount + prefLine("mail.server.s.hostname", host));
    };
    auto hostRead = [&] {
        const auto store = core::readMailAccounts(home.path());
        return store && !store->accounts.empty() ? store->accounts[0].pop3Server : "none";
    };
    profileWith(base / "first", "first.example");
    profileWith(base / "marked", "marked.example");
    profileWith(base / "installed", "installed.example");
    profileWith(home / "elsewhere", "absolute.example");

    writeFile(base / "profiles.ini",
              "[Profile0]\nPath=first\nIsRelative=1\n[Profile1]\nPath=marked\nIsRelative=1\n");
    EXPECT_EQ(hostRead(), "first.example");
    writeFile(base / "profiles.ini", "[Profile0]\nPath=first\nIsRelative=1\n"
                                     "[Profile1]\nPath=marked\nIsRelative=1\nDefault=1\n");
    EXPECT_EQ(hostRead(), "marked.example");
    // The installation's choice wins over the profile marked default.
    writeFile(base / "profiles.ini", "[Profile1]\nPath=marked\nIsRelative=1\nDefault=1\n"
                                     "[Install4F96D1932A9F858E]\nDefault=installed\nLocked=1\n");
    EXPECT_EQ(hostRead(), "installed.example");
    writeFile(base / "profiles.ini",
              "[Profile0]\r\nPath=" + (home / "elsewhere").string() + "\r\nIsRelative=0\r\n");
    EXPECT_EQ(hostRead(), "absolute.example");
}

TEST(MailAccounts, SnapAndFlatpakProfilesAreFoundAndHomeComesFromTheEnvironment) {
    TempDir home;
    const std::string prefs = prefLine("mail.accountmanager.accounts", "a") +
                              prefLine("mail.account.a.server", "s") +
                              prefLine("mail.server.s.type", "imap");
    writeThunderbirdProfile(home.path(), prefs + prefLine("mail.server.s.hostname", "flatpak"),
                            ".var/app/org.mozilla.Thunderbird/.thunderbird");
    {
        testing_support::ScopedHome scoped(home.path());
        const auto store = core::readCurrentUserMailAccounts();
        ASSERT_TRUE(store);
        ASSERT_EQ(store->accounts.size(), 1U);
        EXPECT_EQ(store->accounts[0].pop3Server, "flatpak");
    }
    writeThunderbirdProfile(home.path(), prefs + prefLine("mail.server.s.hostname", "snap"),
                            "snap/thunderbird/common/.thunderbird");
    EXPECT_EQ(core::readMailAccounts(home.path())->accounts.at(0).pop3Server, "snap");
    writeThunderbirdProfile(home.path(), prefs + prefLine("mail.server.s.hostname", "deb"));
    EXPECT_EQ(core::readMailAccounts(home.path())->accounts.at(0).pop3Server, "deb");
}

TEST(MailAccounts, PrefsFileSyntaxIsReadAsTheClientReadsIt) {
    TempDir home;
    const std::string prefs =
        "/* user_pref(\"mail.accountmanager.accounts\", \"commented\"); */\n"
        "// user_pref(\"mail.accountmanager.defaultaccount\", \"commented\");\n"
        "user_pref( \"mail.accountmanager.accounts\" , \" x , y,,z \" ) ;\n"
        "user_pref(\"mail.account.x.server\", \"sx\");\n"
        "user_pref(\"mail.account.x.identities\", \"ix,other\");\n"
        "user_pref(\"mail.server.sx.type\", \"pop3\");\n"
        "user_pref(\"mail.server.sx.hostName\", \"pop.example\");\n" // other case, same pref
        "user_pref(\"mail.server.sx.name\", \"Caf\\u00e9 \\ud83d\\ude00 \\\\ \\x41\");\n"
        "user_pref(\"mail.identity.ix.fullName\", 'single \"quoted\"');\n"
        "user_pref(\"mail.identity.ix.useremail\", \"broken);\n"
        "user_pref(\"mail.account.y.server\", \"sy\");\n"
        "user_pref(\"mail.server.sy.type\", \"rss\");\n"
        "user_pref(\"mail.account.z.server\", \"sz\");\n"
        "user_pref(\"mail.server.sz.type\", \"imap\");\n"
        "user_pref(\"mail.server.sz.hostname\", \"first\");\n"
        "user_pref(\"mail.server.sz.hostname\", \"later wins\");\n"
        "user_pref(\"mail.smtp.defaultserver\", \"smtp9\");\n"
        "user_pref(\"mail.smtpserver.smtp9.hostname\", \"smtp.default\");\n"
        "user_pref(\"ldap_2.servers.v6.uri\", \"ldaps://[2001:db8::1]:636/o=x\");\n";
    writeThunderbirdProfile(home.path(), prefs);
    const auto store = core::readMailAccounts(home.path());
    ASSERT_TRUE(store);
    ASSERT_EQ(store->accounts.size(), 3U); // the feed account is no mail account
    const auto &x = store->accounts[0];
    EXPECT_EQ(x.id, "x");
    EXPECT_EQ(x.pop3Server, "pop.example");
    EXPECT_EQ(x.accountName, "Caf\xC3\xA9 \xF0\x9F\x98\x80 \\ A");
    EXPECT_EQ(x.smtpSignature, "single \"quoted\"");
    EXPECT_EQ(x.smtpEmailAddress, "");       // the unterminated line is passed over
    EXPECT_EQ(x.smtpServer, "smtp.default"); // no server of its own: the default one
    EXPECT_EQ(store->accounts[1].pop3Server, "later wins");
    EXPECT_EQ(store->accounts[2].ldapServer, "2001:db8::1");
    // No default account named: the first mail account; no directory in use.
    EXPECT_EQ(store->defaults, (core::DefaultMailAccounts{"x", "", ""}));
}

} // namespace
