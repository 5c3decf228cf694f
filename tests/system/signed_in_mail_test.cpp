// The real binary mails a restart through a server that takes mail only over
// TLS and only after a sign-in, with the password in the owner-only file
// beside the settings (no desktop keyring here).

#include "tests/support/smtp_test_server.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace testing_support;

namespace {

TEST(SignedInMail, AKilledProgramSendsOneSignedInRestartMail) {
    SmtpTestServer server(signInRequired("alerts@example.com", "correct horse"));
    ASSERT_TRUE(server.started());
    TempDir folder;
    copyPerstando(folder.path());
    const auto exe = copyExecutable(WATCHED_PROGRAM, folder.path(), uniqueName("signed"));
    struct KillAtEnd {
        std::filesystem::path program;
        ~KillAtEnd() { killAll(program); }
    } watched{exe};
    writeMailPasswordFile(folder.path(), "correct horse");
    const auto log = folder / "watch.log";
    writeFile(folder / "settings.ini",
              "[exe2]\nname=Orders\npath=" + exe.string() +
                  "\ntimer=200\n[log]\npath=" + log.string() + "\n" +
                  server.signedInMailSettings("alerts@example.com", folder / "company-ca.pem"));

    Child perstando({(folder / "perstando").string()}, folder.path(),
                    {"QT_QPA_PLATFORM=offscreen",
                     "DBUS_SESSION_BUS_ADDRESS=unix:path=" + (folder / "no-bus").string(),
                     "XDG_RUNTIME_DIR=" + (folder / "no-runtime").string()});
    // The first start is a restart too: wait for its mail, then kill.
    ASSERT_TRUE(waitUntil([&] { return server.messages().size() == 1; }, std::chrono::seconds(30)))
        << readFile(log);
    ASSERT_EQ(pidsOf(exe).size(), 1u);
    killAll(exe);
    ASSERT_TRUE(waitUntil([&] { return server.messages().size() == 2; }, std::chrono::seconds(30)))
        << readFile(log);
    for (const auto &mail : server.messages()) {
        EXPECT_TRUE(mail.tls);
        EXPECT_EQ(mail.authUser, "alerts@example.com");
        EXPECT_EQ(mail.body().rfind("Orders was restarted at: ", 0), 0u) << mail.body();
    }
    EXPECT_EQ(readFile(log).find("could not be sent"), std::string::npos) << readFile(log);
    EXPECT_EQ(readFile(folder / "settings.ini").find("correct horse"), std::string::npos);
    perstando.stop(SIGTERM);
}

} // namespace
