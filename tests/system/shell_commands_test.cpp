// The running binary asked from a shell: `perstando --status`, --pause,
// --resume, --check, --quit, by its own account and by another.

#include "core/instance_lock.h"
#include "tests/support/process_stats.h"
#include "tests/support/smtp_test_server.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <sstream>

using namespace testing_support;

namespace {

using ClientRun = ShellRun;

class ShellCommands : public ::testing::Test {
protected:
    void SetUp() override {
        runtime_ = privateFolder("runtime");
        binary_ = copyPerstando(folder_.path());
        runner_ = copyExecutable(WATCHED_PROGRAM, folder_.path(), uniqueName("runner"));
        longOne_ = copyExecutable(WATCHED_PROGRAM, folder_.path(), uniqueName("long"));
        writeFile(folder_ / "settings.ini",
                  "[exe1]\nname=Runner\npath=" + runner_.string() + "\ntimer=200\n" +
                      "[exe2]\nname=Long\npath=" + longOne_.string() + "\ntimer=60000\n" +
                      "[exe3]\nname=Idle\npath=/bin/true\ntimer=0\n[log]\npath=" +
                      (folder_ / "watch.log").string() + "\n");
    }
    void TearDown() override {
        killAll(runner_);
        killAll(longOne_);
    }
    std::filesystem::path privateFolder(const std::string &name) const {
        const auto path = folder_ / name;
        std::filesystem::create_directory(path);
        std::filesystem::permissions(path, std::filesystem::perms::owner_all);
        return path;
    }
    Child startPerstando() {
        return Child({binary_.string()}, folder_.path(),
                     {"QT_QPA_PLATFORM=offscreen", "XDG_RUNTIME_DIR=" + runtime_.string()});
    }
    /// The client run from a shell; `prefix` goes before it (another account).
    ClientRun perstando(const std::string &arguments, const std::string &prefix = {}) const {
        const std::string command = "cd '" + folder_.path().string() + "' && XDG_RUNTIME_DIR='" +
                                    runtime_.string() + "' " + prefix + " ./perstando " + arguments;
        return shell(command);
    }
    /// Waits until slot 1's program runs under Perstando's eye.
    pid_t runnerUp() {
        pid_t pid = 0;
        EXPECT_TRUE(waitUntil([&] {
            const auto pids = pidsOf(runner_);
            pid = pids.size() == 1 ? pids[0] : 0;
            return pid != 0 && perstando("--status")
                                       .output.find("1 Runner: running (PID " +
                                                    std::to_string(pid) + ")") != std::string::npos;
        }));
        return pid;
    }
    std::filesystem::path socketPath() const {
        for (const auto &entry : std::filesystem::directory_iterator(runtime_)) {
            if (entry.path().extension() == ".socket") {
                return entry.path();
            }
        }
        return {};
    }
    TempDir folder_;
    std::filesystem::path runtime_, binary_, runner_, longOne_;
};

bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

/// The start times (ns) a watched script recorded, one a line.
std::vector<long long> startTimes(const std::filesystem::path &record) {
    std::istringstream in(readFile(record));
    std::vector<long long> times;
    for (long long ns; in >> ns;) {
        times.push_back(ns);
    }
    return times;
}

/// The longest time in ms from one recorded start to the next.
long long longestGapMs(const std::vector<long long> &times) {
    long long longest = 0;
    for (std::size_t i = 1; i < times.size(); ++i) {
        longest = std::max(longest, (times[i] - times[i - 1]) / 1'000'000);
    }
    return longest;
}

TEST_F(ShellCommands, StatusShowsEachSlotAndCheckRestartsBeforeTheInterval) {
    Child running = startPerstando();
    runnerUp();
    // Slot 2 checks once a minute: only --check starts its program now.
    EXPECT_TRUE(pidsOf(longOne_).empty());
    const ClientRun check = perstando("--check 2");
    EXPECT_EQ(check.status, 0) << check.output;
    EXPECT_TRUE(contains(check.output, "2 Long: Restarted: ")) << check.output;
    ASSERT_EQ(pidsOf(longOne_).size(), 1u);
    const pid_t first = pidsOf(longOne_)[0];
    ::kill(first, SIGKILL);
    ASSERT_TRUE(waitUntil([&] { return pidsOf(longOne_).empty(); }));
    EXPECT_EQ(perstando("--check 2").status, 0);
    ASSERT_EQ(pidsOf(longOne_).size(), 1u);
    const pid_t second = pidsOf(longOne_)[0];
    EXPECT_NE(second, first);

    const ClientRun status = perstando("--status");
    EXPECT_EQ(status.status, 0);
    EXPECT_TRUE(contains(status.output, "2 Long: restarted (PID " + std::to_string(second) + ") "))
        << status.output;
    EXPECT_TRUE(contains(status.output, ", last exit: killed by signal 9 (SIGKILL)\n"))
        << status.output;
    EXPECT_TRUE(contains(status.output, "3 Idle: not checked, last check never\n"))
        << status.output;
    EXPECT_TRUE(contains(status.output, "checking: on\nalarms: none\n")) << status.output;
    EXPECT_FALSE(contains(status.output, "internet")) << status.output;

    const ClientRun json =
        perstando("--status --json | python3 -c 'import json,sys,datetime; d=json.load(sys.stdin); "
                  "s=d[\"slots\"]; print(s[1][\"state\"], s[1][\"pid\"], d[\"paused\"], "
                  "d[\"alarms\"][\"visual\"], len(s), \"since\" in s[2], "
                  "datetime.datetime.fromisoformat(s[1][\"since\"]) <= "
                  "datetime.datetime.fromisoformat(s[1][\"lastCheck\"]), s[1][\"lastExit\"])'");
    // Times in JSON are ISO 8601, whatever the locale writes in the window.
    EXPECT_EQ(json.output, "restarted " + std::to_string(second) +
                               " False False 3 False True killed by signal 9 (SIGKILL)\n");

    // Both starts of slot 2 came from the shell's checks; slot 3 is never checked.
    for (const char *format : {"--metrics", "--metrics --openmetrics"}) {
        const ClientRun metrics = perstando(format);
        EXPECT_EQ(metrics.status, 0) << format;
        EXPECT_TRUE(contains(metrics.output, "\nperstando_slot_restarts_total{slot=\"2\","
                                             "name=\"Long\",reason=\"check\"} 2\n"))
            << metrics.output;
        EXPECT_TRUE(contains(metrics.output, "\nperstando_slot_state{slot=\"3\",name=\"Idle\","
                                             "state=\"not_checked\"} 1\n"))
            << metrics.output;
        EXPECT_EQ(metrics.output.ends_with("# EOF\n"), contains(format, "openmetrics"))
            << metrics.output;
    }

    for (const char *refused : {"--check 9", "--check 4", "--check x"}) {
        const ClientRun run = perstando(refused);
        EXPECT_EQ(run.status, 1) << refused;
        EXPECT_TRUE(contains(run.output, "perstando: ")) << run.output;
    }
    for (const char *unknownOne : {"--frobnicate", "--metrics --json"}) {
        const ClientRun unknown = perstando(unknownOne);
        EXPECT_EQ(unknown.status, 2) << unknownOne;
        EXPECT_TRUE(contains(unknown.output, "Usage: perstando")) << unknown.output;
    }
}

TEST_F(ShellCommands, PauseHoldsAKilledProgramDownAndResumeBringsItBack) {
    Child running = startPerstando();
    const pid_t pid = runnerUp();
    ASSERT_EQ(perstando("--pause").status, 0);
    EXPECT_TRUE(contains(perstando("--status").output, "checking: paused\n"));
    ::kill(pid, SIGKILL);
    // Five times its interval, and nothing new starts; the killed one may
    // linger a moment, so only another process counts.
    EXPECT_FALSE(waitUntil(
        [&] {
            const auto pids = pidsOf(runner_);
            return std::any_of(pids.begin(), pids.end(), [&](pid_t p) { return p != pid; });
        },
        std::chrono::milliseconds(1000)));
    EXPECT_EQ(perstando("--check 1").status, 1);
    ASSERT_EQ(perstando("--resume").status, 0);
    EXPECT_TRUE(waitUntil([&] { return pidsOf(runner_).size() == 1; }));
    EXPECT_TRUE(contains(perstando("--status").output, "checking: on\n"));
}

TEST_F(ShellCommands, QuitEndsItCleanlyAndThenNoCopyAnswers) {
    Child running = startPerstando();
    runnerUp();
    const ClientRun quit = perstando("--quit");
    EXPECT_EQ(quit.status, 0) << quit.output;
    const int status = running.waitExit(std::chrono::seconds(10));
    ASSERT_NE(status, -1) << "still running after --quit";
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(pidsOf(binary_).empty());
    const ClientRun none = perstando("--status");
    EXPECT_EQ(none.status, 3);
    EXPECT_TRUE(contains(none.output, "no copy runs")) << none.output;
}

TEST_F(ShellCommands, AnotherAccountIsRefusedAndNothingChanges) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to ask as another account";
    }
    // The other account must reach the binary; a settings folder it could
    // write would be refused by the running copy.
    std::filesystem::permissions(folder_.path(), std::filesystem::perms::owner_all |
                                                     std::filesystem::perms::group_read |
                                                     std::filesystem::perms::group_exec |
                                                     std::filesystem::perms::others_read |
                                                     std::filesystem::perms::others_exec);
    Child running = startPerstando();
    runnerUp();
    const std::string nobody = "setpriv --reuid=nobody --regid=nogroup --clear-groups";
    // The socket's folder is closed to it...
    for (const char *command : {"--pause", "--metrics"}) {
        const ClientRun closed = perstando(command, nobody);
        EXPECT_EQ(closed.status, 1) << closed.output;
        EXPECT_TRUE(contains(closed.output, "permission denied")) << closed.output;
        EXPECT_FALSE(contains(closed.output, "perstando_")) << closed.output;
    }
    // ...and with the folder and socket opened (which its client no longer
    // trusts), the running copy itself says no, before it reads anything.
    std::filesystem::permissions(runtime_, std::filesystem::perms::owner_all |
                                               std::filesystem::perms::others_exec);
    ASSERT_FALSE(socketPath().empty());
    std::filesystem::permissions(socketPath(), std::filesystem::perms::all);
    const ClientRun asked =
        shell(nobody +
              " /usr/bin/python3 -c 'import socket,sys; s=socket.socket(socket.AF_UNIX); "
              "s.connect(sys.argv[1]); print(s.makefile().read())' " +
              socketPath().string());
    EXPECT_TRUE(contains(asked.output, "refused\npermission denied: only its own account"))
        << asked.output;
    // A folder open to others is one the client no longer trusts either.
    std::filesystem::permissions(runtime_, std::filesystem::perms::owner_all);
    EXPECT_TRUE(contains(perstando("--status").output, "checking: on\n"));
}

TEST_F(ShellCommands, ControlCharactersInNamesAreShownEscaped) {
    struct Row {
        std::string name, shown;
    };
    const std::vector<Row> rows = {
        {std::string("nul\0after", 9), "nul\\x00after"},      {"cr\rforged", "cr\\x0dforged"},
        {"title\x1b]0;owned\x07", "title\\x1b]0;owned\\x07"}, {"nel\xc2\x85line", "nel\\u0085line"},
        {"line\xe2\x80\xa8sep\x7f", "line\\u2028sep\\x7f"},
    };
    std::string settings, expected;
    for (std::size_t n = 1; n <= rows.size(); ++n) {
        settings += "[exe" + std::to_string(n) + "]\nname=" + rows[n - 1].name +
                    "\npath=/bin/true\ntimer=0\n";
        expected +=
            std::to_string(n) + " " + rows[n - 1].shown + ": not checked, last check never\n";
    }
    writeFile(folder_ / "settings.ini", settings);
    Child running = startPerstando();
    ClientRun status;
    ASSERT_TRUE(waitUntil([&] {
        status = perstando("--status");
        return status.status != 3;
    }));
    EXPECT_EQ(status.status, 0);
    EXPECT_EQ(status.output, expected + "checking: on\nalarms: none\n");
    // A refused request is echoed the same way.
    const ClientRun check = perstando("--check \"$(printf '1\\033]0;owned\\007')\"");
    EXPECT_EQ(check.status, 1);
    EXPECT_TRUE(contains(check.output, "no slot 1\\x1b]0;owned\\x07: slots")) << check.output;
}

/// Listens at `path` and writes "!" to `heard` once ready. As "others" it
/// listens as the account nobody (bound first, as root may do anywhere),
/// records what it is sent and answers with a forged state; as "stuck" it
/// fills its own queue and never accepts.
Child listener(const std::filesystem::path &path, const std::filesystem::path &heard,
               const std::string &mode) {
    return Child(
        {"/usr/bin/python3", "-c",
         "import os, pwd, signal, socket, sys\n"
         "path, heard, mode = sys.argv[1:]\n"
         "s = socket.socket(socket.AF_UNIX); s.bind(path)\n"
         "heard = open(heard, 'wb', buffering=0); queue = []\n"
         "if mode == 'others':\n"
         "    n = pwd.getpwnam('nobody'); os.setgroups([]); os.setresgid(*[n.pw_gid] * 3)\n"
         "    os.setresuid(*[n.pw_uid] * 3)\n"
         "s.listen(0 if mode == 'stuck' else 8)\n"
         "while mode == 'stuck':\n"
         "    queue.append(socket.socket(socket.AF_UNIX)); queue[-1].setblocking(False)\n"
         "    try: queue[-1].connect(path)\n"
         "    except BlockingIOError: heard.write(b'!'); signal.pause()\n"
         "heard.write(b'!')\n"
         "while True:\n"
         "    c, _ = s.accept(); heard.write(c.recv(4096))\n"
         "    c.sendall(b'ok\\n1 Forged: running\\n'); c.close()\n",
         path.string(), heard.string(), mode});
}

// The client talks only to this account's copy, through whichever folder it
// listens in, and gives up in bounded time on a copy that never answers.
TEST_F(ShellCommands, ReachesItsOwnCopyOrFailsPromptly) {
    const passwd *nobody = ::getpwnam("nobody");
    if (::geteuid() != 0 || !nobody) {
        GTEST_SKIP() << "needs root to listen as another account";
    }
    struct Row {
        const char *name;
        std::string folder, listener;
        int status; ///< 0: a copy runs and must be reached
        const char *says;
    };
    const Row rows[] = {
        {"another account's folder comes first", "others", "others", 0, "1 Runner: "},
        {"another account listens in our folder", "ours", "others", 1, "permission denied"},
        {"a copy that never accepts", "stuck", "stuck", 1, "no answer"},
        {"a folder too long for a socket address", std::string(100, 'l'), "", 0, "1 Runner: "},
    };
    const std::string name = core::InstanceLock::socketPlaces(folder_.path().string())[0].name;
    const auto heard = folder_ / "heard";
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        runtime_ = privateFolder(row.folder);
        if (row.folder == "others") {
            ASSERT_EQ(::chown(runtime_.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
            std::filesystem::permissions(runtime_, std::filesystem::perms::all);
        }
        std::filesystem::remove(heard);
        Child listening =
            row.listener.empty() ? Child() : listener(runtime_ / name, heard, row.listener);
        ASSERT_TRUE(row.listener.empty() || waitUntil([&] {
                        return std::filesystem::exists(heard) && readFile(heard) == "!";
                    }));
        Child running = row.status == 0 ? startPerstando() : Child();
        ClientRun run;
        waitUntil([&] {
            run = perstando("--status", "timeout 30");
            return row.status != 0 || run.status == 0;
        });
        EXPECT_EQ(run.status, row.status) << run.output;
        EXPECT_TRUE(contains(run.output, row.says)) << run.output;
        EXPECT_FALSE(contains(run.output, "Forged")) << run.output;
        EXPECT_TRUE(row.listener.empty() || readFile(heard) == "!") << readFile(heard);
    }
}

// With the restart e-mail on, a program that dies again and again is restarted
// on time, Perstando's stack stays flat, and a check asked from a shell is
// answered at once: the e-mail's pacing runs beside the checks. Every other
// death outlives the interval, so restarts come from the interval's checks and
// from the process's end alike.
TEST_F(ShellCommands, MailOnHoldsNoRestartAndNoCheck) {
    SmtpTestServer server;
    ASSERT_TRUE(server.started());
    const auto record = folder_ / "quick.starts";
    const auto script = folder_ / uniqueName("quick");
    writeFile(script, "#!/bin/sh\ndate +%s%N >> '" + record.string() + "'\n" + "[ $(($(wc -l < '" +
                          record.string() + "') % 2)) -eq 0 ] && sleep 0.1\n" + "exit 0\n");
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    writeFile(folder_ / "settings.ini",
              "[exe1]\nname=Quick\npath=" + script.string() + "\ntimer=50\nimmediate=On\n" +
                  "[exe2]\nname=Long\npath=" + longOne_.string() + "\ntimer=60000\n[log]\npath=" +
                  (folder_ / "watch.log").string() + "\n[mail]\nnotification=On\n" +
                  "Sendto=ops@example.com\nport=" + std::to_string(server.port()) +
                  "\naddress=perstando@example.com\nserver=127.0.0.1\n");
    Child running = startPerstando();

    // Ends early at the first restart held back.
    const auto startsOrHeld = [&](std::size_t starts, std::chrono::seconds timeout) {
        waitUntil(
            [&] {
                const auto times = startTimes(record);
                return times.size() >= starts || longestGapMs(times) >= 1000;
            },
            timeout, std::chrono::milliseconds(20));
    };
    constexpr std::size_t Deaths = 200;
    startsOrHeld(10, std::chrono::seconds(20));
    const long stackBefore = stackKiB(running.pid());

    // Slot 2 is checked from a shell while slot 1's e-mails are under way.
    const auto asked = std::chrono::steady_clock::now();
    const ClientRun check = perstando("--check 2");
    const auto answerMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::steady_clock::now() - asked)
                              .count();
    std::printf("--check answered in %lld ms\n", static_cast<long long>(answerMs));
    EXPECT_EQ(check.status, 0) << check.output;
    EXPECT_LT(answerMs, 1000) << "--check waited for the e-mail";
    EXPECT_EQ(pidsOf(longOne_).size(), 1u);

    startsOrHeld(Deaths, std::chrono::seconds(90));
    const auto times = startTimes(record);
    ASSERT_GE(times.size(), Deaths)
        << "longest gap between starts " << longestGapMs(times) << " ms";
    EXPECT_LT(longestGapMs(times), 1000) << "a restart was held back";
    const long stackAfter = stackKiB(running.pid());
    std::printf("%zu starts, longest gap %lld ms, stack %ld KiB then %ld KiB\n", times.size(),
                longestGapMs(times), stackBefore, stackAfter);
    EXPECT_LE(stackAfter - stackBefore, 64)
        << "stack grew from " << stackBefore << " KiB to " << stackAfter << " KiB";

    // Every restart gets its own e-mail, or is counted among those dropped.
    ASSERT_EQ(perstando("--pause").status, 0);
    const std::size_t restarts = startTimes(record).size() + 1;
    const std::string status = perstando("--status").output;
    const auto mail = status.find("\nmail: ");
    const std::size_t dropped = mail == std::string::npos ? 0 : std::stoul(status.substr(mail + 7));
    EXPECT_TRUE(waitUntil([&] { return server.messages().size() + dropped >= restarts; },
                          std::chrono::seconds(60)))
        << server.messages().size() << " e-mails, " << dropped << " dropped, " << restarts;
}

TEST_F(ShellCommands, SilentAndGarbageClientsDelayNoRestart) {
    Child running = startPerstando();
    const pid_t pid = runnerUp();
    const auto path = socketPath();
    ASSERT_FALSE(path.empty());
    std::vector<int> clients;
    for (int n = 0; n < 12; ++n) {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_EQ(::connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr), 0);
        if (n >= 8) { // the first eight fill every place and say nothing
            const std::string garbage(16384, '\x7f');
            (void)::send(fd, garbage.data(), garbage.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        }
        clients.push_back(fd);
    }
    ::kill(pid, SIGKILL);
    EXPECT_TRUE(waitUntil(
        [&] {
            const auto pids = pidsOf(runner_);
            return pids.size() == 1 && pids[0] != pid;
        },
        std::chrono::milliseconds(1500)));
    const ClientRun busy = perstando("--status");
    EXPECT_EQ(busy.status, 1);
    EXPECT_TRUE(contains(busy.output, "busy")) << busy.output;
    // Once the silent ones are dropped, commands are answered again.
    EXPECT_TRUE(
        waitUntil([&] { return perstando("--status").status == 0; }, std::chrono::seconds(5)));
    for (const int fd : clients) {
        ::close(fd);
    }
}

TEST_F(ShellCommands, TheWebhookTokenGoesToTheReceiverAndNeverToStatusOrTheLog) {
    const std::string token = "sys-Tok3n-9f2";
    // A receiver that keeps the head of the one request it gets.
    const auto head = folder_ / "head";
    Child receiver(
        {"/usr/bin/python3", "-c",
         "import socket,sys\ns=socket.create_server(('127.0.0.1',0))\n"
         "open(sys.argv[1]+'.port','w').write(str(s.getsockname()[1])+'\\n')\n"
         "c,_=s.accept()\nd=b''\nwhile b'\\r\\n\\r\\n' not in d: d+=c.recv(4096) or exit()\n"
         "c.sendall(b'HTTP/1.1 200 OK\\r\\nContent-Length: 0\\r\\n\\r\\n')\n"
         "open(sys.argv[1],'wb').write(d)",
         head.string()});
    const auto port = head.string() + ".port";
    ASSERT_TRUE(waitUntil([&] { return contains(readFile(port), "\n"); }));
    writeFile(folder_ / "settings.ini", readFile(folder_ / "settings.ini") +
                                            "[webhook]\nurl=http://127.0.0.1:" + readFile(port));
    writeFile(folder_ / "webhook-token", token + "\n");
    ::chmod((folder_ / "webhook-token").c_str(), 0600);
    Child running({binary_.string()}, folder_.path(),
                  {"QT_QPA_PLATFORM=offscreen", "XDG_RUNTIME_DIR=" + runtime_.string(),
                   "DBUS_SESSION_BUS_ADDRESS=unix:path=" + (folder_ / "no-bus").string()});
    runnerUp(); // its start is an alert
    ASSERT_TRUE(
        waitUntil([&] { return contains(readFile(head), "\r\n\r\n"); }, std::chrono::seconds(20)));
    EXPECT_TRUE(contains(readFile(head), "\r\nAuthorization: Bearer " + token + "\r\n"));

    for (const char *arguments : {"--status", "--status --json"}) {
        const ClientRun status = perstando(arguments);
        EXPECT_EQ(status.status, 0) << arguments << ": " << status.output;
        EXPECT_TRUE(contains(status.output, "Runner")) << status.output;
        EXPECT_FALSE(contains(status.output, token)) << arguments;
    }
    EXPECT_FALSE(contains(readFile(folder_ / "watch.log"), token));
}

} // namespace
