#pragma once
// A real SMTP server (tests/support/smtp_server.py on python3-aiosmtpd) run by a
// test on a free port, with what it received read back.

#include "tests/support/test_support.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

/// One message the server accepted.
struct ReceivedMail {
    std::string mailFrom;
    std::vector<std::string> rcptTo;
    bool tls = false;
    /// The user the message's session signed in as; "" without sign-in.
    std::string authUser;
    /// The message as received, dot-stuffing removed, lines ending in CR LF.
    std::string content;
    /// The value of the first header field `name` (unfolded), or "".
    std::string header(const std::string &name) const;
    std::string body() const;
};

struct SmtpServerOptions {
    enum class Tls { None, StartTls, Implicit };
    std::string host = "127.0.0.1";
    int port = 0; ///< 0: a free port
    Tls tls = Tls::None;
    std::vector<std::string> refuse = {}; ///< recipients answered with 550
    double dataDelaySeconds = 0;          ///< pause before the reply to the message
    bool refuseEhlo = false;              ///< answers EHLO with 502
    bool silent = false;                  ///< accepts connections, never answers
    enum class Fault { None, DropInData, Garbage };
    /// Hangs up after the first line of the message, or answers commands with garbage.
    Fault fault = Fault::None;
    /// With a user, AUTH accepts this one user and password (events: "auth
    /// <mechanism> <user> ok|refused"; any AUTH in clear text: "AUTH in clear text").
    std::string authUser = {};
    std::string authPassword = {};
    bool offerPlain = true;
    bool offerLogin = true;
    /// AUTH offered without TLS too (aiosmtpd's auth_require_tls=False).
    bool authInClear = false;
};

/// A server that takes mail only after STARTTLS and a sign-in as `user`.
inline SmtpServerOptions signInRequired(const std::string &user, const std::string &password) {
    SmtpServerOptions options;
    options.tls = SmtpServerOptions::Tls::StartTls;
    options.authUser = user;
    options.authPassword = password;
    return options;
}

/// The owner-only mail-password file in `folder`, read where no keyring answers.
void writeMailPasswordFile(const std::filesystem::path &folder, const std::string &password);

class SmtpTestServer {
public:
    /// Starts the server and waits until it listens. started() is false when
    /// it could not listen (for example a privileged port without the right).
    explicit SmtpTestServer(const SmtpServerOptions &options = {});
    ~SmtpTestServer();
    SmtpTestServer(const SmtpTestServer &) = delete;
    SmtpTestServer &operator=(const SmtpTestServer &) = delete;

    bool started() const { return port_ > 0; }
    int port() const { return port_; }
    const std::string &host() const { return options_.host; }
    /// PEM of the server's self-signed certificate (made with openssl).
    std::string certificatePem() const;

    std::vector<ReceivedMail> messages() const;
    /// What happened in the sessions, one event a line ("connect", "rcpt x", "quit", ...).
    std::vector<std::string> events() const;
    /// Stops the server; later connections are refused.
    void stop();

    /// The [mail] section of settings.ini for restart e-mails to this server,
    /// signed in as `user`, trusting its certificate written to `caFile`.
    std::string signedInMailSettings(const std::string &user,
                                     const std::filesystem::path &caFile) const;

private:
    SmtpServerOptions options_;
    TempDir folder_;
    Child process_;
    int port_ = 0;
};

} // namespace testing_support
