#pragma once
// The current user's mail, news and directory accounts, read-only from the
// user's mail client and shaped into one record kind per account.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace core {

/// One account. All fields are text and empty when the client has no value.
/// A mail account fills the SMTP and POP3 fields (POP3 stands for the incoming
/// server, whatever its protocol), a news account the NNTP fields, a directory
/// the LDAP fields.
struct MailAccount {
    std::string id; ///< The client's own name for the account.
    std::string accountName;
    std::string nntpSignature;
    std::string nntpServer;
    std::string nntpUserName;
    std::string nntpEmailAddress;
    std::string nntpReplyToEmailAddress;
    std::string smtpSignature;
    std::string smtpServer;
    std::string smtpUserName;
    std::string smtpEmailAddress;
    std::string smtpReplyToEmailAddress;
    std::string pop3Server;
    std::string pop3UserName;
    std::string pop3EmailAddress;
    std::string pop3ReplyToEmailAddress;
    std::string ldapServer;
    std::string ldapUrl;

    bool operator==(const MailAccount &) const = default;
};

/// The ids of the default accounts; empty when there is none of that kind.
struct DefaultMailAccounts {
    std::string mail;
    std::string news;
    std::string ldap;

    bool operator==(const DefaultMailAccounts &) const = default;
};

/// Everything the client holds, accounts in the client's order.
struct MailAccountStore {
    DefaultMailAccounts defaults;
    std::vector<MailAccount> accounts;
};

/// The accounts of the user whose home folder is `home`; nullopt when the user
/// has no mail client profile there. Never writes and never throws.
std::optional<MailAccountStore> readMailAccounts(const std::filesystem::path &home);

/// readMailAccounts() for the home folder named by HOME; nullopt when HOME is unset.
std::optional<MailAccountStore> readCurrentUserMailAccounts();

} // namespace core
