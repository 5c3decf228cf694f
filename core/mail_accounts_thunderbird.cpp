// Mail accounts from the user's Thunderbird profile: profiles.ini names the
// default profile, its prefs.js holds the accounts as user_pref lines.

#include "core/mail_accounts.h"

#include "core/lower_case.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string_view>

namespace core {
namespace {

namespace fs = std::filesystem;

std::string lower(std::string_view text) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return result;
}

std::string_view trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

std::vector<std::string> splitList(std::string_view list) {
    std::vector<std::string> items;
    std::size_t start = 0;
    while (start <= list.size()) {
        auto end = list.find(',', start);
        if (end == std::string_view::npos) {
            end = list.size();
        }
        const auto item = trim(list.substr(start, end - start));
        if (!item.empty()) {
            items.emplace_back(item);
        }
        start = end + 1;
    }
    return items;
}

std::optional<std::string> readWholeFile(const fs::path &file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// --- profiles.ini --------------------------------------------------------------

struct IniSection {
    std::string name;
    std::map<std::string, std::string> values; ///< Keys in lower case.
    std::string value(const char *key) const {
        const auto it = values.find(key);
        return it == values.end() ? std::string() : it->second;
    }
};

std::vector<IniSection> parseIni(std::string_view text) {
    std::vector<IniSection> sections;
    std::istringstream lines{std::string(text)};
    std::string raw;
    while (std::getline(lines, raw)) {
        const auto line = trim(raw);
        if (line.empty() || line.front() == ';' || line.front() == '#') {
            continue;
        }
        if (line.front() == '[' && line.back() == ']') {
            sections.push_back({std::string(trim(line.substr(1, line.size() - 2))), {}});
            continue;
        }
        const auto eq = line.find('=');
        if (eq == std::string_view::npos || sections.empty()) {
            continue;
        }
        // The first of duplicate keys wins, as for the settings file.
        sections.back().values.emplace(lower(trim(line.substr(0, eq))),
                                       std::string(trim(line.substr(eq + 1))));
    }
    return sections;
}

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && lower(text.substr(0, prefix.size())) == prefix;
}

/// The profile Thunderbird opens without asking: the one its installation
/// names, else the one marked default, else the first listed.
std::optional<fs::path> defaultProfile(const fs::path &root) {
    const auto text = readWholeFile(root / "profiles.ini");
    if (!text) {
        return std::nullopt;
    }
    const auto sections = parseIni(*text);
    std::vector<fs::path> candidates;
    for (const auto &s : sections) {
        if (startsWithNoCase(s.name, "install") && !s.value("default").empty()) {
            candidates.push_back(root / s.value("default"));
        }
    }
    const IniSection *marked = nullptr;
    const IniSection *first = nullptr;
    for (const auto &s : sections) {
        if (!startsWithNoCase(s.name, "profile") || s.value("path").empty()) {
            continue;
        }
        if (!first) {
            first = &s;
        }
        if (!marked && s.value("default") == "1") {
            marked = &s;
        }
    }
    for (const IniSection *s : {marked, first}) {
        if (s) {
            // An absolute path (IsRelative=0) replaces the root when appended.
            candidates.push_back(root / s->value("path"));
        }
    }
    for (const auto &candidate : candidates) {
        std::error_code ec;
        if (fs::is_directory(candidate, ec)) {
            return candidate;
        }
    }
    return std::nullopt;
}

// --- prefs.js ------------------------------------------------------------------

/// Pref names as written, compared without regard to case.
struct NoCaseLess {
    bool operator()(std::string_view a, std::string_view b) const {
        return std::lexicographical_compare(
            a.begin(), a.end(), b.begin(), b.end(),
            [](unsigned char x, unsigned char y) { return std::tolower(x) < std::tolower(y); });
    }
};
using PrefMap = std::map<std::string, std::string, NoCaseLess>;

/// Reads one user_pref(...) statement at a time from the text of prefs.js.
class PrefsParser {
public:
    explicit PrefsParser(std::string_view text) : text_(text) {}

    PrefMap parse() {
        PrefMap prefs;
        static constexpr std::string_view call = "user_pref";
        while (pos_ < text_.size()) {
            const auto rest = text_.substr(pos_);
            if (rest.starts_with("//") || rest.starts_with("#")) {
                pos_ = std::min(text_.size(), text_.find('\n', pos_));
            } else if (rest.starts_with("/*")) {
                const auto end = text_.find("*/", pos_ + 2);
                pos_ = end == std::string_view::npos ? text_.size() : end + 2;
            } else if (rest.starts_with(call) && (pos_ == 0 || !isNameChar(text_[pos_ - 1]))) {
                pos_ += call.size();
                std::string name;
                std::string value;
                if (expect('(') && readString(name) && expect(',') && readValue(value) &&
                    expect(')')) {
                    // A later line wins, as in the client.
                    prefs.insert_or_assign(name, value);
                }
            } else {
                ++pos_;
            }
        }
        return prefs;
    }

private:
    static bool isNameChar(char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
    }

    void skipBlanks() {
        while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_]))) {
            ++pos_;
        }
    }

    bool expect(char c) {
        skipBlanks();
        if (pos_ < text_.size() && text_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }

    bool readHex(int digits, std::uint32_t &code) {
        if (pos_ + static_cast<std::size_t>(digits) > text_.size()) {
            return false;
        }
        code = 0;
        for (int i = 0; i < digits; ++i) {
            const char c = text_[pos_++];
            code <<= 4;
            if (c >= '0' && c <= '9') {
                code |= static_cast<std::uint32_t>(c - '0');
            } else if (c >= 'a' && c <= 'f') {
                code |= static_cast<std::uint32_t>(c - 'a' + 10);
            } else if (c >= 'A' && c <= 'F') {
                code |= static_cast<std::uint32_t>(c - 'A' + 10);
            } else {
                return false;
            }
        }
        return true;
    }

    bool readUnicodeEscape(std::string &out) {
        std::uint32_t code = 0;
        if (!readHex(4, code)) {
            return false;
        }
        if (code >= 0xD800 && code <= 0xDBFF && text_.substr(pos_, 2) == "\\u") {
            const auto save = pos_;
            pos_ += 2;
            std::uint32_t low = 0;
            if (readHex(4, low) && low >= 0xDC00 && low <= 0xDFFF) {
                code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
            } else {
                pos_ = save;
            }
        }
        if (code >= 0xD800 && code <= 0xDFFF) {
            code = 0xFFFD; // a lone surrogate has no UTF-8 form
        }
        appendUtf8(out, code);
        return true;
    }

    /// A JavaScript string literal in double or single quotes.
    bool readString(std::string &out) {
        skipBlanks();
        if (pos_ >= text_.size() || (text_[pos_] != '"' && text_[pos_] != '\'')) {
            return false;
        }
        const char quote = text_[pos_++];
        while (pos_ < text_.size()) {
            const char c = text_[pos_++];
            if (c == quote) {
                return true;
            }
            if (c == '\n') {
                return false;
            }
            if (c != '\\') {
                out += c;
                continue;
            }
            if (pos_ >= text_.size()) {
                return false;
            }
            const char e = text_[pos_++];
            std::uint32_t code = 0;
            switch (e) {
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'x':
                if (!readHex(2, code)) {
                    return false;
                }
                appendUtf8(out, code);
                break;
            case 'u':
                if (!readUnicodeEscape(out)) {
                    return false;
                }
                break;
            default:
                out += e; // \" \\ \' and any other escaped character stand for themselves
            }
        }
        return false;
    }

    /// A string, or a number or true/false taken as its text.
    bool readValue(std::string &out) {
        skipBlanks();
        if (pos_ < text_.size() && (text_[pos_] == '"' || text_[pos_] == '\'')) {
            return readString(out);
        }
        const auto start = pos_;
        while (pos_ < text_.size() && text_[pos_] != ')' && text_[pos_] != '\n') {
            ++pos_;
        }
        out = std::string(trim(text_.substr(start, pos_ - start)));
        return !out.empty();
    }

    std::string_view text_;
    std::size_t pos_ = 0;
};

// --- accounts ------------------------------------------------------------------

class Prefs {
public:
    explicit Prefs(PrefMap values) : values_(std::move(values)) {}

    std::string get(const std::string &name) const {
        const auto it = values_.find(name);
        return it == values_.end() ? std::string() : it->second;
    }

    /// The names of the branches "prefix<name>.<leaf>" that have the given leaf,
    /// spelled as in the file.
    std::vector<std::string> branchesWith(const std::string &prefix,
                                          const std::string &leaf) const {
        std::vector<std::string> names;
        const auto suffix = "." + lower(leaf);
        for (auto it = values_.lower_bound(prefix);
             it != values_.end() && startsWithNoCase(it->first, lower(prefix)); ++it) {
            const auto &name = it->first;
            if (name.size() > prefix.size() + suffix.size() &&
                lower(name.substr(name.size() - suffix.size())) == suffix) {
                auto middle =
                    name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
                if (middle.find('.') == std::string::npos) {
                    names.push_back(std::move(middle));
                }
            }
        }
        return names;
    }

private:
    PrefMap values_;
};

enum class Kind { Mail, News, Other };

Kind kindOfServerType(const std::string &type) {
    const auto t = lower(type);
    if (t == "pop3" || t == "imap") {
        return Kind::Mail;
    }
    if (t == "nntp") {
        return Kind::News;
    }
    return Kind::Other; // local folders, feeds, unknown add-on types
}

/// The host of an LDAP URL: ldap://host:port/base -> host.
std::string ldapHost(std::string_view url) {
    const auto scheme = url.find("://");
    if (scheme == std::string_view::npos) {
        return {};
    }
    auto rest = url.substr(scheme + 3);
    if (!rest.empty() && rest.front() == '[') {
        const auto close = rest.find(']');
        return close == std::string_view::npos ? std::string()
                                               : std::string(rest.substr(1, close - 1));
    }
    return std::string(rest.substr(0, rest.find_first_of(":/?")));
}

MailAccount readServerAccount(const Prefs &prefs, const std::string &accountId, Kind kind) {
    const std::string account = "mail.account." + accountId + ".";
    const std::string server = "mail.server." + prefs.get(account + "server") + ".";
    const auto identities = splitList(prefs.get(account + "identities"));
    const std::string identity =
        "mail.identity." + (identities.empty() ? std::string() : identities.front()) + ".";

    MailAccount a;
    a.id = accountId;
    a.accountName = prefs.get(server + "name");
    const auto fullName = prefs.get(identity + "fullName");
    const auto email = prefs.get(identity + "useremail");
    const auto replyTo = prefs.get(identity + "reply_to");
    if (kind == Kind::News) {
        a.nntpSignature = fullName;
        a.nntpServer = prefs.get(server + "hostname");
        a.nntpUserName = prefs.get(server + "userName");
        a.nntpEmailAddress = email;
        a.nntpReplyToEmailAddress = replyTo;
        return a;
    }
    auto smtpId = prefs.get(identity + "smtpServer");
    if (smtpId.empty()) {
        smtpId = prefs.get("mail.smtp.defaultserver");
    }
    const std::string smtp = "mail.smtpserver." + smtpId + ".";
    a.smtpSignature = fullName;
    a.smtpServer = smtpId.empty() ? std::string() : prefs.get(smtp + "hostname");
    a.smtpUserName = smtpId.empty() ? std::string() : prefs.get(smtp + "username");
    a.smtpEmailAddress = email;
    a.smtpReplyToEmailAddress = replyTo;
    a.pop3Server = prefs.get(server + "hostname");
    a.pop3UserName = prefs.get(server + "userName");
    a.pop3EmailAddress = email;
    a.pop3ReplyToEmailAddress = replyTo;
    return a;
}

MailAccountStore storeFromPrefs(const Prefs &prefs) {
    MailAccountStore store;
    const auto defaultAccount = prefs.get("mail.accountmanager.defaultaccount");
    std::string firstMail;
    bool defaultIsMail = false;
    for (const auto &id : splitList(prefs.get("mail.accountmanager.accounts"))) {
        const auto serverId = prefs.get("mail.account." + id + ".server");
        if (serverId.empty()) {
            continue;
        }
        const Kind kind = kindOfServerType(prefs.get("mail.server." + serverId + ".type"));
        if (kind == Kind::Other) {
            continue;
        }
        store.accounts.push_back(readServerAccount(prefs, id, kind));
        if (kind == Kind::Mail) {
            if (firstMail.empty()) {
                firstMail = id;
            }
            defaultIsMail = defaultIsMail || id == defaultAccount;
        } else if (store.defaults.news.empty()) {
            store.defaults.news = id;
        }
    }
    store.defaults.mail = defaultIsMail ? defaultAccount : firstMail;

    // Address books are directories too; only LDAP ones count here.
    const std::string books = "ldap_2.servers.";
    const auto autoComplete = lower(prefs.get("ldap_2.autoComplete.directoryServer"));
    for (const auto &name : prefs.branchesWith(books, "uri")) {
        const auto url = prefs.get(books + name + ".uri");
        if (!startsWithNoCase(url, "ldap://") && !startsWithNoCase(url, "ldaps://")) {
            continue;
        }
        MailAccount directory;
        directory.id = books + name;
        directory.accountName = prefs.get(books + name + ".description");
        directory.ldapServer = ldapHost(url);
        directory.ldapUrl = url;
        if (lower(directory.id) == autoComplete) {
            store.defaults.ldap = directory.id;
        }
        store.accounts.push_back(std::move(directory));
    }
    return store;
}

} // namespace

std::optional<MailAccountStore> readMailAccounts(const fs::path &home) {
    // The distribution's package, the snap and the flatpak keep their own folders.
    static const char *const roots[] = {
        ".thunderbird",
        "snap/thunderbird/common/.thunderbird",
        ".var/app/org.mozilla.Thunderbird/.thunderbird",
    };
    for (const char *root : roots) {
        if (const auto profile = defaultProfile(home / root)) {
            // A profile without prefs.js has never been set up: no accounts yet.
            const auto text = readWholeFile(*profile / "prefs.js");
            return storeFromPrefs(Prefs(PrefsParser(text.value_or(std::string())).parse()));
        }
    }
    return std::nullopt;
}

std::optional<MailAccountStore> readCurrentUserMailAccounts() {
    const char *home = std::getenv("HOME");
    if (!home || !*home) {
        return std::nullopt;
    }
    return readMailAccounts(home);
}

} // namespace core
