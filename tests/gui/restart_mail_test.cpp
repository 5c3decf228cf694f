// The restart e-mail of the main window against a real SMTP server.

#include "monitor/main_window.h"
#include "engine/restart_mail.h"
#include "engine/watchdog.h"
#include "engine/slot_watcher.h"
#include "engine/watchdog.h"
#include "tests/gui/gui_test_support.h"
#include "tests/support/smtp_test_server.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTimer>

using namespace Qt::StringLiterals;

using testing_support::ReceivedMail;
using testing_support::SmtpServerOptions;
using testing_support::SmtpTestServer;
using testing_support::WindowTest;

namespace {

const std::string stars(54, '*');

class RestartMailTest : public WindowTest {
protected:
    /// Form1 with slots One and Two, mail settings for `port` and the given recipients.
    Form1 *start(const std::string &port, const std::string &sendTo = "ops@example.com") {
        writeSettings("[exe1]\nname=One\n[exe2]\nname=Two\n"
                      "[log]\npath=" +
                      (folder_ / "perstando.log").string() +
                      "\n"
                      "[mail]\nnotification=On\nSendto=" +
                      sendTo + "\nport=" + port +
                      "\naddress=perstando@example.com\nserver=127.0.0.1\n");
        form_ = new Form1();
        return form_;
    }
    Form1 *start(const SmtpTestServer &server, const std::string &sendTo = "ops@example.com") {
        return start(std::to_string(server.port()), sendTo);
    }
    RestartMailer *mailer() const { return form_->findChild<RestartMailer *>(u"RestartMailer"_s); }
    std::string log() const { return testing_support::readFile(folder_ / "perstando.log"); }
    /// Lets the e-mails still talking to the server finish.
    bool settled() const {
        return waitFor([this] { return mailer()->pendingMails() == 0; }, 30000);
    }

    Form1 *form_ = nullptr;
};

TEST_F(RestartMailTest, ARestartSendsOneAlertAndTheEventLoopRunsDuringTheFiveSeconds) {
    SmtpTestServer server;
    ASSERT_TRUE(server.started());
    start(server, " ops@example.com ; ;boss@example.com");

    int ticks = 0;
    QTimer other;
    QObject::connect(&other, &QTimer::timeout, &other, [&] { ++ticks; });
    other.start(100);
    QElapsedTimer clock;
    clock.start();
    form_->watchdog().sendRestartMail(1, false);
    const qint64 elapsed = clock.elapsed();

    EXPECT_GE(elapsed, 5000);
    EXPECT_GE(ticks, 25) << "other timers keep firing during the waits";
    ASSERT_TRUE(settled());
    const auto mails = server.messages();
    ASSERT_EQ(mails.size(), 1u);
    const ReceivedMail &mail = mails[0];
    EXPECT_EQ(mail.mailFrom, "perstando@example.com");
    EXPECT_EQ(mail.rcptTo, (std::vector<std::string>{"ops@example.com", "boss@example.com"}));
    EXPECT_EQ(mail.header("Subject"), "*****Perstando Alert*****");
    EXPECT_EQ(mail.header("From"), "perstando@example.com");
    EXPECT_EQ(mail.header("MIME-Version"), "1.0");
    EXPECT_EQ(mail.header("Content-Type"), "text/plain; charset=UTF-8");
    EXPECT_FALSE(mail.header("Date").empty());
    EXPECT_FALSE(mail.header("Message-ID").empty());
    static const QRegularExpression body(
        QStringLiteral("^One was restarted at: \\d{1,2}:\\d{2}:\\d{2} [AP]M\r\n$"));
    EXPECT_TRUE(body.match(QString::fromStdString(mail.body())).hasMatch()) << mail.body();
    EXPECT_EQ(log().find("could not be sent"), std::string::npos) << log();
    EXPECT_TRUE(messages_.shown.isEmpty());
}

TEST_F(RestartMailTest, TwoRestartsInsideOneWaitSendTwoMessagesInRestartOrder) {
    SmtpTestServer server;
    ASSERT_TRUE(server.started());
    start(server);
    // Slot 2 restarts while slot 1's e-mail waits; its start failed.
    QTimer::singleShot(1000, form_, [this] { form_->watchdog().sendRestartMail(2, true); });
    form_->watchdog().sendRestartMail(1, false);
    ASSERT_TRUE(settled());
    const auto mails = server.messages();
    ASSERT_EQ(mails.size(), 2u);
    EXPECT_TRUE(mails[0].body().starts_with("One was restarted at: ")) << mails[0].body();
    EXPECT_TRUE(mails[1].body().starts_with("Two could not be restarted at: ")) << mails[1].body();
    const auto events = server.events();
    EXPECT_EQ(std::count(events.begin(), events.end(), "connect"), 2);
    // One conversation after the other: the second connects after the first closed.
    const auto firstClose = std::find(events.begin(), events.end(), "close");
    const auto secondConnect = std::find(
        std::next(std::find(events.begin(), events.end(), "connect")), events.end(), "connect");
    EXPECT_LT(firstClose, secondConnect);
}

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

TEST_F(RestartMailTest, RefusedRecipientAndNoDeliversToNobodyAndEndsTheSession) {
    SmtpTestServer server({.refuse = {"gone@example.com"}});
    ASSERT_TRUE(server.started());
    start(server, "ops@example.com;gone@example.com;boss@example.com");
    messages_.answers = {QMessageBox::No};
    form_->watchdog().sendRestartMail(1, false);
    ASSERT_TRUE(settled());
    ASSERT_TRUE(
        waitFor([&] { return !server.events().empty() && server.events().back() == "close"; }));

    EXPECT_EQ(messages_.shown.size(), 1);
    EXPECT_TRUE(server.messages().empty());
    const auto events = server.events();
    EXPECT_EQ(std::find(events.begin(), events.end(), "rcpt boss@example.com"), events.end());
    EXPECT_EQ(std::find(events.begin(), events.end(), "data"), events.end());
    EXPECT_NE(std::find(events.begin(), events.end(), "quit"), events.end());
}

TEST_F(RestartMailTest, UndeliverableAlertsAreLoggedAndNothingIsSent) {
    SmtpTestServer server;
    ASSERT_TRUE(server.started());
    const int deadPort = server.port();
    server.stop();
    const struct {
        std::string port;
        std::string reason;
    } cases[] = {{std::to_string(deadPort), "server could not be reached"},
                 {"", "no valid port"},
                 {"abc", "no valid port"}};
    for (const auto &c : cases) {
        std::filesystem::remove(folder_ / "perstando.log");
        start(c.port);
        form_->watchdog().sendRestartMail(1, false);
        ASSERT_TRUE(settled());
        const std::string text = log();
        static const QRegularExpression entry(
            QStringLiteral("^\\*{54}\n[^\n]+ E-mail notification could not be sent: [^\n]+\n"
                           "\\*{54}\n$"));
        // The start line of the program comes first.
        const auto first = text.find('\n');
        ASSERT_NE(first, std::string::npos);
        const std::string rest = text.substr(first + 1);
        EXPECT_TRUE(entry.match(QString::fromStdString(rest)).hasMatch()) << c.port << "\n" << text;
        EXPECT_NE(rest.find("could not be sent: " + c.reason), std::string::npos) << rest;
        EXPECT_TRUE(rest.starts_with(stars));
        delete form_;
    }
}

TEST_F(RestartMailTest, ASlowAnswerToTheMessageStillDelivers) {
    // The reply to the message comes 4 s after it was sent, long after the
    // disconnect step 2 s after sending.
    SmtpTestServer server({.dataDelaySeconds = 4});
    ASSERT_TRUE(server.started());
    start(server);
    form_->watchdog().sendRestartMail(1, false);
    EXPECT_EQ(mailer()->pendingMails(), 1) << "the message is still on its way";
    ASSERT_TRUE(settled());
    EXPECT_EQ(server.messages().size(), 1u);
    EXPECT_EQ(log().find("could not be sent"), std::string::npos) << log();
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
    form_ = new Form1();
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
    form_ = new Form1();
    form_->show();
    form_->watchdog().slotWatcher().tick(2);
    testing_support::killAll(exe);
    ASSERT_TRUE(settled());
    const auto mails = server.messages();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_TRUE(mails[0].body().starts_with("Two was restarted at: ")) << mails[0].body();
}

} // namespace
