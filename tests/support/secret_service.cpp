#include "tests/support/secret_service.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <stdexcept>

namespace testing_support {
namespace {

constexpr const char *KeyringDaemon = "/usr/bin/gnome-keyring-daemon";

// No service files: nothing is started on demand, so a test sees exactly the
// services it started (and a prompt for a locked keyring fails at once).
std::string busConfig(const std::filesystem::path &socket) {
    return "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig>\n"
           "  <type>session</type>\n"
           "  <listen>unix:path=" +
           socket.string() +
           "</listen>\n"
           "  <auth>EXTERNAL</auth>\n"
           "  <policy context=\"default\">\n"
           "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
           "    <allow eavesdrop=\"true\"/>\n"
           "    <allow own=\"*\"/>\n"
           "  </policy>\n"
           "</busconfig>\n";
}

/// Runs `argv` with standard input and output redirected to files, ended
/// with the test process should that die first.
Child redirected(const std::vector<std::string> &argv, const std::filesystem::path &in,
                 const std::filesystem::path &out, const std::vector<std::string> &env) {
    std::vector<std::string> shell = {"/bin/sh", "-c",
                                      R"(exec "$0" "$@" <"$SECRET_TEST_IN" >"$SECRET_TEST_OUT")"};
    shell.insert(shell.end(), {"/usr/bin/setpriv", "--pdeathsig", "TERM"});
    shell.insert(shell.end(), argv.begin(), argv.end());
    std::vector<std::string> fullEnv = env;
    fullEnv.push_back("SECRET_TEST_IN=" + in.string());
    fullEnv.push_back("SECRET_TEST_OUT=" + out.string());
    return Child(shell, {}, fullEnv);
}

} // namespace

bool SecretServiceSession::installed() {
    return std::filesystem::exists(KeyringDaemon);
}

SecretServiceSession::SecretServiceSession(Keyring keyring) {
    const auto socket = folder_ / "bus";
    address_ = "unix:path=" + socket.string();
    writeFile(folder_ / "bus.conf", busConfig(socket));
    bus_ = redirected({"/usr/bin/dbus-daemon", "--config-file=" + (folder_ / "bus.conf").string(),
                       "--nofork", "--nopidfile", "--syslog-only"},
                      "/dev/null", "/dev/null", {});
    if (!waitUntil([&] { return std::filesystem::exists(socket) || !bus_.running(); }) ||
        !bus_.running()) {
        throw std::runtime_error("dbus-daemon did not start");
    }
    if (keyring == Keyring::None) {
        return;
    }

    // The keyring keeps its files, sockets and settings in the test's folder.
    const auto home = folder_ / "home";
    const auto runtime = folder_ / "run";
    std::filesystem::create_directories(home);
    std::filesystem::create_directory(runtime);
    ::chmod(runtime.c_str(), 0700);
    const std::vector<std::string> env = {"DBUS_SESSION_BUS_ADDRESS=" + address_,
                                          "HOME=" + home.string(),
                                          "XDG_DATA_HOME=" + (home / "data").string(),
                                          "XDG_CONFIG_HOME=" + (home / "config").string(),
                                          "XDG_CACHE_HOME=" + (home / "cache").string(),
                                          "XDG_RUNTIME_DIR=" + runtime.string(),
                                          "DISPLAY="};
    writeFile(folder_ / "login-password", "keyring login password");
    keyring_ = redirected({KeyringDaemon, "--foreground", "--unlock", "--components=secrets"},
                          folder_ / "login-password", "/dev/null", env);
    const auto loginKeyring = home / "data" / "keyrings" / "login.keyring";
    Child wait({"/usr/bin/gdbus", "wait", "--address", address_, "--timeout", "20",
                "org.freedesktop.secrets"});
    const int waited = wait.waitExit(std::chrono::seconds(25));
    if (waited != 0 || !waitUntil([&] { return std::filesystem::exists(loginKeyring); })) {
        throw std::runtime_error("gnome-keyring-daemon did not come up on the test bus");
    }
}

SecretServiceSession::~SecretServiceSession() {
    pauseKeyring(false);
    keyring_.stop(SIGTERM);
    bus_.stop(SIGTERM);
}

void SecretServiceSession::pauseKeyring(bool paused) {
    if (keyring_.pid() > 0) {
        ::kill(keyring_.pid(), paused ? SIGSTOP : SIGCONT);
    }
}

int SecretServiceSession::connections() {
    const auto out = folder_ / "names";
    Child call = redirected({"/usr/bin/gdbus", "call", "--address", address_, "--dest",
                             "org.freedesktop.DBus", "--object-path", "/org/freedesktop/DBus",
                             "--method", "org.freedesktop.DBus.ListNames"},
                            "/dev/null", out, {});
    call.waitExit(std::chrono::seconds(20));
    const std::string names = readFile(out);
    int count = 0;
    for (auto at = names.find("':"); at != std::string::npos; at = names.find("':", at + 2)) {
        ++count;
    }
    return count;
}

void SecretServiceSession::stopBus() {
    bus_.stop(SIGTERM);
}

SecretServiceSession::Run
SecretServiceSession::secretTool(const std::vector<std::string> &arguments,
                                 const std::string &input) {
    const auto in = folder_ / "secret-tool-in";
    const auto out = folder_ / "secret-tool-out";
    writeFile(in, input);
    writeFile(out, "");
    std::vector<std::string> argv = {"/usr/bin/secret-tool"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    Child tool = redirected(argv, in, out, {"DBUS_SESSION_BUS_ADDRESS=" + address_});
    Run run;
    run.status = tool.waitExit(std::chrono::seconds(20));
    run.output = readFile(out);
    std::filesystem::remove(in);
    std::filesystem::remove(out);
    return run;
}

SilentBus::SilentBus() {
    socket_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un where{};
    where.sun_family = AF_UNIX;
    const std::string path = (folder_ / "bus").string();
    std::strncpy(where.sun_path, path.c_str(), sizeof where.sun_path - 1);
    // Listening without accepting: connections complete, nothing ever answers.
    if (socket_ < 0 || ::bind(socket_, reinterpret_cast<sockaddr *>(&where), sizeof where) != 0 ||
        ::listen(socket_, 64) != 0) {
        throw std::runtime_error("cannot listen on " + path);
    }
}

SilentBus::~SilentBus() {
    ::close(socket_);
}

} // namespace testing_support
