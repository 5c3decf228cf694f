// The restart e-mail of the main window against a real SMTP server: the
// question about a refused address, and the watch cycle's restarts mailed.

#include "engine/mailer.h"
#include "engine/slot_watcher.h"
#include "engine/watchdog.h"
#include "monitor/main_window.h"
#include "tests/gui/gui_test_support.h"
#include "tests/gui/new_main_window.h"
#include "tests/support/smtp_test_server.h"

using namespace Qt::StringLiterals;

using testing_support::SmtpTestServer;
using testing_support::WindowTest;

namespace {

class RestartMailTest : public WindowTest {
protected:
    /// Form1 with slots One and Two, mail settings for `port` and the given recipients.
    MainWindow *start(const std::string &port, const std::string &sendTo = "ops@example.com") {
        writeSettings("[exe1]\nname=One\n[exe2]\nname=Two\n"
                      "[log]\npath=" +
                      (folder_ / "perstando.log").string() +
                      "\n"
                      "[mail]\nnotification=On\nSendto=" +
                      sendTo + "\nport=" + port +
                      "\naddress=perstando@example.com\nserver=127.0.0.1\n");
        form_ = testing_support::newMainWindow();
        mailer()->setPacing(100, 100);
        return form_;
    }
    MainWindow *start(const SmtpTestServer &server, const std::string &sendTo = "ops@example.com") {
        return start(std::to_string(server.port()), sendTo);
    }
    engine::Mailer *mailer() const { return form_->findChild<engine::Mailer *>(u"Mailer"_s); }
    std::string log() const { return testing_support::readFile(folder_ / "perstando.log"); }
    /// Lets the e-mails still talking to the server finish.
    bool settled() const {
        return waitFor([this] { return mailer()->pendingMails() == 0; }, 30000);
    }

    MainWindow *form_ = nullptr;
};

TEST_F(RestartMailTest, RefusedRecipientAsksAndYesDeliversToTheOthers) {
    SmtpTestServer server({.refuse = {"gone@example.com"}});
    ASSERT_TRUE(server.started());
    start(server, "gone@example.com;ops@example.com");
    messages_.answers = {QMessageBox::Yes};
    form_->watchdog().sendRestartMail(1, false);
    ASSERT_TRUE(settled());

    ASSERT_EQ(messages_.shown.size(), 1);
    const ui::MessageRequest &question = messages_.shown[0];
    EXPECT_EQ(question.text,
              u"An error occured sending the following email address: gone@example.com\r\n"
              u"The server response was: 550 5.1.1 <gone@example.com>: Recipient address "
              u"rejected\r\n"
              u"Would you like to continue sending?"_s);
    EXPECT_EQ(question.title, u"Perstando"_s);
    EXPECT_EQ(question.buttons, QMessageBox::Yes | QMessageBox::No);
    const auto mails = server.messages();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].rcptTo, std::vector<std::string>{"ops@example.com"});
    EXPECT_EQ(log().find("could not be sent"), std::string::npos);
}

} // namespace

namespace {

// The whole road: the tick finds the program gone, starts it, logs it and
// mails it; a tick that finds it running sends nothing.
TEST_F(RestartMailTest, EachRestartOfAKilledProgramSendsExactlyOneAlert) {
    SmtpTestServer server;
    ASSERT_TRUE(server.started());
    const auto exe = testing_support::copyExecutable(WATCHED_PROGRAM, folder_.path(),
                                                     testing_support::uniqueName("mailed"));
    writeSettings("[exe2]\nname=Two\npath=" + exe.string() + "\n[log]\npath=" +
                  (folder_ / "perstando.log").string() + "\n[mail]\nnotification=On\nSendto=" +
                  "ops@example.com\nport=" + std::to_string(server.port()) +
                  "\naddress=perstando@example.com\nserver=127.0.0.1\n");
    form_ = testing_support::newMainWindow();
    mailer()->setPacing(100, 100);
    form_->show();

    form_->watchdog().slotWatcher().tick(2);
    ASSERT_EQ(testing_support::pidsOf(exe).size(), 1u);
    form_->watchdog().slotWatcher().tick(2); // running: no mail
    testing_support::killAll(exe);
    ASSERT_TRUE(testing_support::waitUntil([&] { return testing_support::pidsOf(exe).empty(); }));
    form_->watchdog().slotWatcher().tick(2);
    ASSERT_TRUE(settled());

    const auto mails = server.messages();
    ASSERT_EQ(mails.size(), 2u);
    for (const auto &mail : mails) {
        EXPECT_EQ(mail.body().rfind("Two was restarted at: ", 0), 0u) << mail.body();
    }
    EXPECT_EQ(testing_support::pidsOf(exe).size(), 1u);
    testing_support::killAll(exe);
}

TEST_F(RestartMailTest, WithoutALogTheRestartIsStillMailed) {
    SmtpTestServer server;
    ASSERT_TRUE(server.started());
    const auto exe = testing_support::copyExecutable(WATCHED_PROGRAM, folder_.path(),
                                                     testing_support::uniqueName("unlogged"));
    writeSettings("[exe2]\nname=Two\npath=" + exe.string() +
                  "\n[log]\npath=\n[mail]\nnotification=On\nSendto=ops@example.com\nport=" +
                  std::to_string(server.port()) +
                  "\naddress=perstando@example.com\nserver=127.0.0.1\n");
    form_ = testing_support::newMainWindow();
    mailer()->setPacing(100, 100);
    form_->show();
    form_->watchdog().slotWatcher().tick(2);
    testing_support::killAll(exe);
    ASSERT_TRUE(settled());
    const auto mails = server.messages();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_TRUE(mails[0].body().starts_with("Two was restarted at: ")) << mails[0].body();
}

} // namespace
