#pragma once
// A real Secret Service for a test: a private D-Bus session bus with
// gnome-keyring-daemon on it, its login keyring created and unlocked. Both are
// stopped at the end; the keyring's files live in a temporary folder.

#include "tests/support/test_support.h"

#include <string>
#include <vector>

namespace testing_support {

class SecretServiceSession {
public:
    /// False only when gnome-keyring-daemon is not installed.
    static bool installed();

    enum class Keyring { Running, None };
    /// Starts the bus and (unless None) the keyring and waits until the keyring
    /// answers; throws when either cannot be started.
    explicit SecretServiceSession(Keyring keyring = Keyring::Running);
    ~SecretServiceSession();
    SecretServiceSession(const SecretServiceSession &) = delete;
    SecretServiceSession &operator=(const SecretServiceSession &) = delete;

    /// The value for DBUS_SESSION_BUS_ADDRESS.
    const std::string &address() const { return address_; }

    struct Run {
        int status = -1; ///< wait status; -1 when it did not end within 20 s
        std::string output;
    };
    /// Runs secret-tool on this bus with `input` on its standard input. Its
    /// output (which may be a password) is returned, never printed.
    Run secretTool(const std::vector<std::string> &arguments, const std::string &input = {});

    /// Stops (SIGSTOP) or resumes the keyring: while stopped, requests to it hang.
    void pauseKeyring(bool paused);
    /// How many connections the bus has (the asking one included).
    int connections();
    /// Ends the bus; its clients' connections close.
    void stopBus();

private:
    TempDir folder_;
    std::string address_;
    Child bus_;
    Child keyring_;
};

/// A D-Bus address whose socket takes connections and never says a word, as
/// a hung session bus does.
class SilentBus {
public:
    SilentBus();
    ~SilentBus();
    SilentBus(const SilentBus &) = delete;
    SilentBus &operator=(const SilentBus &) = delete;
    std::string address() const { return "unix:path=" + (folder_ / "bus").string(); }

private:
    TempDir folder_;
    int socket_ = -1;
};

} // namespace testing_support
