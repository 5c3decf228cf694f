// The e-mails of the mailer (restart alerts, the test e-mail) against a real SMTP
// server (python3-aiosmtpd), without a window.

#include "engine/mailer.h"
#include "engine/status_report.h"
#include "tests/engine/program_folder_test.h"
#include "tests/support/smtp_test_server.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

using testing_support::ReceivedMail;
using testing_support::signInRequired;
using testing_support::SmtpServerOptions;
using testing_support::SmtpTestServer;

namespace {

const QString stars(54, u'*');

class MailerTest : public ::testing::Test {
protected:
    MailerTest() {
        // Answered a moment later, as someone at the screen would.
        mailer_.setConfirm([this](const QString &text, const engine::Mailer::Answer &answer) {
            questions_ << text;
            const bool goOn = !answers_.isEmpty() && answers_.takeFirst();
            QTimer::singleShot(200, &mailer_, [answer, goOn] { answer(goOn); });
        });
        // Short pacing where the pacing is not the point.
        mailer_.setPacing(100, 100);
    }

    static engine::MailSettings settings(const QString &port,
                                         const QString &sendTo = u"ops@example.com"_s) {
        return {sendTo, port, u"perstando@example.com"_s, u"127.0.0.1"_s, {}, {}};
    }
    static engine::MailSettings settings(const SmtpTestServer &server,
                                         const QString &sendTo = u"ops@example.com"_s) {
        return settings(QString::number(server.port()), sendTo);
    }
    /// Lets the e-mails still talking to the server finish.
    bool settled() {
        return QTest::qWaitFor([this] { return mailer_.pendingMails() == 0; }, 30000);
    }
    static long countOf(const std::vector<std::string> &events, const std::string &event) {
        return std::count(events.begin(), events.end(), event);
    }
    QString failures() const {
        QStringList lines;
        for (const QStringList &entry : log_) {
            lines += entry;
        }
        return lines.join(u'\n');
    }

    QList<QStringList> log_;
    QStringList questions_;
    QList<bool> answers_;
    engine::Mailer mailer_{[this](const QStringList &lines) {
        log_ << lines;
        return true;
    }};
};

// The call returns at once; the server sees the connect at once, the message
// 3 s later and the disconnect 2 s after that.
TEST_F(MailerTest, ARestartSendsOneAlertPacedOnTimersWhileTheCallReturnsAtOnce) {
    SmtpTestServer server;
    ASSERT_TRUE(server.started());
    mailer_.setPacing(engine::Mailer::SendAfterMs, engine::Mailer::DisconnectAfterMs);

    QElapsedTimer clock;
    clock.start();
    mailer_.sendRestartMail(settings(server, u" ops@example.com ; ;boss@example.com"_s), u"One"_s,
                            false);
    EXPECT_LT(clock.elapsed(), 1000) << "the call waited for the e-mail";
    ASSERT_TRUE(QTest::qWaitFor([&] { return countOf(server.events(), "connect") == 1; }, 2500));
    EXPECT_TRUE(server.messages().empty()) << "sent before its 3 s";
    ASSERT_TRUE(QTest::qWaitFor([&] { return server.messages().size() == 1; }, 10000));
    EXPECT_GE(clock.elapsed(), 3000);
    ASSERT_TRUE(settled());
    EXPECT_GE(clock.elapsed(), 5000) << "disconnected before its 2 s";
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
    EXPECT_TRUE(log_.isEmpty()) << failures().toStdString();
    EXPECT_TRUE(questions_.isEmpty());
}

// A signed-in e-mail waits for its password however late the lookup answers
// (here after its pacing has ended); without one nothing is sent and the
// lookup's reason is logged.
TEST_F(MailerTest, ASignedInMailWaitsForItsPasswordAndWithoutOneIsNotSent) {
    SmtpTestServer server(signInRequired("alerts", "pass word"));
    ASSERT_TRUE(server.started());
    testing_support::TempDir folder;
    const auto ca = folder / "ca.pem";
    testing_support::writeFile(ca, server.certificatePem());
    engine::MailSettings signedIn = settings(server);
    signedIn.user = u"alerts"_s;
    signedIn.caFile = QString::fromStdString(ca.string());

    QStringList asked;
    std::optional<QString> answer = u"pass word"_s;
    mailer_.setPasswordSource([&](const QString &host, const QString &user, QObject *context,
                                  const engine::Mailer::PasswordDone &done) {
        asked << host + u' ' + user;
        QTimer::singleShot(1000, context, [&answer, done] {
            done(answer, answer ? QString() : u"no password is stored for alerts"_s);
        });
    });
    mailer_.sendRestartMail(signedIn, u"One"_s, false);
    ASSERT_TRUE(settled());
    EXPECT_EQ(asked, QStringList{u"127.0.0.1 alerts"_s});
    auto mails = server.messages();
    ASSERT_EQ(mails.size(), 1u) << failures().toStdString();
    EXPECT_EQ(mails[0].authUser, "alerts");
    EXPECT_TRUE(mails[0].tls);

    // The server may record the end of the first session a moment later.
    ASSERT_TRUE(QTest::qWaitFor([&] { return countOf(server.events(), "close") == 1; }, 10000));
    answer.reset();
    const auto eventsBefore = server.events().size();
    mailer_.sendRestartMail(signedIn, u"One"_s, false);
    ASSERT_TRUE(settled());
    EXPECT_EQ(server.messages().size(), 1u);
    EXPECT_EQ(server.events().size(), eventsBefore) << "connected without a password";
    EXPECT_TRUE(failures().contains(
        u" E-mail notification could not be sent: no password is stored for alerts"_s))
        << failures().toStdString();
}

TEST_F(MailerTest, TwoRestartsInsideOnePacingSendTwoMessagesInRestartOrder) {
    SmtpTestServer server;
    ASSERT_TRUE(server.started());
    mailer_.setPacing(600, 400);
    // Slot 2 restarts while slot 1's e-mail is paced; its start failed.
    QTimer::singleShot(200, &mailer_,
                       [&] { mailer_.sendRestartMail(settings(server), u"Two"_s, true); });
    mailer_.sendRestartMail(settings(server), u"One"_s, false);
    ASSERT_TRUE(settled());
    const auto mails = server.messages();
    ASSERT_EQ(mails.size(), 2u);
    EXPECT_TRUE(mails[0].body().starts_with("One was restarted at: ")) << mails[0].body();
    EXPECT_TRUE(mails[1].body().starts_with("Two could not be restarted at: ")) << mails[1].body();
    const auto events = server.events();
    EXPECT_EQ(countOf(events, "connect"), 2);
    // One conversation after the other: the second connects after the first closed.
    const auto firstClose = std::find(events.begin(), events.end(), "close");
    const auto secondConnect = std::find(
        std::next(std::find(events.begin(), events.end(), "connect")), events.end(), "connect");
    EXPECT_LT(firstClose, secondConnect);
}

// A refused address answered "no", or with nobody there to answer: the
// message goes to nobody and the session ends.
TEST_F(MailerTest, RefusedRecipientAnsweredNoOrNotAtAllDeliversToNobodyAndEndsTheSession) {
    for (const bool asked : {true, false}) {
        SCOPED_TRACE(asked ? "answered no" : "nobody to ask");
        SmtpTestServer server({.refuse = {"gone@example.com"}});
        ASSERT_TRUE(server.started());
        questions_.clear();
        answers_ = {false};
        if (!asked) {
            mailer_.setConfirm(nullptr);
        }
        mailer_.sendRestartMail(
            settings(server, u"ops@example.com;gone@example.com;boss@example.com"_s), u"One"_s,
            false);
        ASSERT_TRUE(settled());
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return !server.events().empty() && server.events().back() == "close"; }, 5000));

        if (asked) {
            ASSERT_EQ(questions_.size(), 1);
            EXPECT_EQ(questions_[0],
                      u"An error occured sending the following email address: gone@example.com\r\n"
                      u"The server response was: 550 5.1.1 <gone@example.com>: Recipient address "
                      u"rejected\r\n"
                      u"Would you like to continue sending?"_s);
        }
        EXPECT_TRUE(server.messages().empty());
        const auto events = server.events();
        EXPECT_EQ(std::find(events.begin(), events.end(), "rcpt boss@example.com"), events.end());
        EXPECT_EQ(std::find(events.begin(), events.end(), "data"), events.end());
        EXPECT_NE(std::find(events.begin(), events.end(), "quit"), events.end());
    }
}

TEST_F(MailerTest, UndeliverableAlertsAreLoggedAndNothingIsSent) {
    SmtpTestServer server;
    ASSERT_TRUE(server.started());
    const int deadPort = server.port();
    server.stop();
    const struct {
        QString port;
        QString reason;
    } cases[] = {{QString::number(deadPort), u"server could not be reached"_s},
                 {QString(), u"no valid port"_s},
                 {u"abc"_s, u"no valid port"_s}};
    int givenUp = 0;
    QObject::connect(&mailer_, &engine::Mailer::failed, &mailer_, [&] { ++givenUp; });
    for (const auto &c : cases) {
        SCOPED_TRACE(c.port.toStdString());
        log_.clear();
        givenUp = 0;
        mailer_.sendRestartMail(settings(c.port), u"One"_s, false);
        ASSERT_TRUE(settled());
        EXPECT_EQ(givenUp, 1);
        ASSERT_EQ(log_.size(), 1) << failures().toStdString();
        const QStringList &entry = log_[0];
        ASSERT_EQ(entry.size(), 3) << failures().toStdString();
        EXPECT_EQ(entry[0], stars);
        EXPECT_EQ(entry[2], stars);
        static const QRegularExpression line(
            QStringLiteral("^[^\n]+ E-mail notification could not be sent: [^\n]+$"));
        EXPECT_TRUE(line.match(entry[1]).hasMatch()) << entry[1].toStdString();
        EXPECT_TRUE(entry[1].contains(u"could not be sent: "_s + c.reason))
            << entry[1].toStdString();
    }
}

TEST_F(MailerTest, ASlowAnswerToTheMessageStillDelivers) {
    // The reply to the message comes 1 s after it was sent, long after the
    // disconnect step.
    SmtpTestServer server({.dataDelaySeconds = 1});
    ASSERT_TRUE(server.started());
    mailer_.sendRestartMail(settings(server), u"One"_s, false);
    EXPECT_EQ(mailer_.pendingMails(), 1) << "the message is still on its way";
    ASSERT_TRUE(settled());
    EXPECT_EQ(server.messages().size(), 1u);
    EXPECT_TRUE(log_.isEmpty()) << failures().toStdString();
}

using MailQueueTest = testing_support::ProgramFolderTest;

// Past the limit a crash loop's oldest restart e-mails are dropped, no other alert: the next
// e-mail and --status count them, and each e-mail that waited says how late it is.
TEST_F(MailQueueTest, ACrashLoopsRestartMailsAreBoundedAndWhatWasDroppedIsTold) {
    SmtpTestServer silent({.silent = true});
    SmtpTestServer server;
    start("");
    engine::Mailer &mailer = watchdog_->mailer();
    mailer.setPacing(0, 0);
    mailer.setTimeouts(1000, 1000);
    mailer.setLateAfter(500);
    engine::MailSettings to{u"o@example.com"_s, {}, u"p@example.com"_s, u"127.0.0.1"_s, {}, {}};
    to.port = QString::number(silent.port());
    mailer.sendRestartMail(to, u"Held"_s, false); // waits 1 s for a greeting
    to.port = QString::number(server.port());
    mailer.sendMail(to, [] { return u"Loop gave up."_s; }); // the oldest, but no restart
    for (int i = 0; i < engine::Mailer::QueueLimit + 5; ++i) {
        mailer.sendRestartMail(to, u"R"_s + QString::number(i), false);
    }
    EXPECT_TRUE(engine::statusText(*watchdog_)
                    .contains(u"\nmail: 5 restart e-mails dropped, 22 waiting\n"_s));
    ASSERT_TRUE(QTest::qWaitFor([&] { return mailer.pendingMails() == 0; }, 60000));
    const auto mails = server.messages();
    ASSERT_EQ(mails.size(), std::size_t{engine::Mailer::QueueLimit + 1});
    for (std::size_t i = 0; i < mails.size(); ++i) {
        const std::string first = i == 0 ? "Loop gave up.\r\n5 earlier restart e-mails were "
                                           "dropped: too many were waiting.\r\n"
                                         : "R" + std::to_string(i + 4) + " was restarted at: ";
        EXPECT_TRUE(mails[i].body().starts_with(first)) << mails[i].body();
        EXPECT_NE(mails[i].body().find("\r\nThis e-mail was sent "), std::string::npos);
    }
}

} // namespace

namespace {

TEST(MailPort, OnlyAWholeNumberInTheTcpRangeIsAPort) {
    const struct {
        QString text;
        std::optional<int> port;
    } cases[] = {{u"25"_s, 25},
                 {u" 587 "_s, 587},
                 {u"65535"_s, 65535},
                 {u"1"_s, 1},
                 {QString(), std::nullopt},
                 {u"abc"_s, std::nullopt},
                 {u"0"_s, std::nullopt},
                 {u"65536"_s, std::nullopt},
                 {u"-25"_s, std::nullopt},
                 {u"2 5"_s, std::nullopt},
                 {u"25x"_s, std::nullopt},
                 {u"0x19"_s, std::nullopt}};
    for (const auto &c : cases) {
        EXPECT_EQ(engine::mailPort(c.text), c.port) << c.text.toStdString();
    }
}

// The test e-mail takes the alerts' road without their pacing (someone
// waits), asks nothing, logs nothing, and says in one sentence what became
// of it.
TEST_F(MailerTest, TheTestMailGoesAtOnceUnloggedAndSaysWhatBecameOfIt) {
    // A paced e-mail could not arrive before the deadlines below.
    mailer_.setPacing(60000, 60000);
    answers_ = {true};
    SmtpTestServer plain({.refuse = {"gone@example.com"}});
    ASSERT_TRUE(plain.started());
    SmtpTestServer signIn(signInRequired("alerts", "pass word"));
    ASSERT_TRUE(signIn.started());
    testing_support::TempDir folder;
    const auto ca = folder / "ca.pem";
    testing_support::writeFile(ca, signIn.certificatePem());
    const QString plainPort = QString::number(plain.port());
    const auto signedIn = [&] {
        engine::MailSettings s = settings(signIn);
        s.user = u"alerts"_s;
        s.caFile = QString::fromStdString(ca.string());
        return s;
    };
    QStringList asked;
    mailer_.setPasswordSource([&](const QString &, const QString &user, QObject *context,
                                  const engine::Mailer::PasswordDone &done) {
        asked << user;
        QTimer::singleShot(0, context, [done] { done(std::nullopt, u"no password is stored"_s); });
    });

    const struct {
        const char *name;
        engine::MailSettings settings;
        std::optional<QString> password;
        bool accepted;
        QString outcome; ///< the start of it
        int passwordsAsked;
        std::size_t plainMails;
        std::size_t signedInMails;
    } cases[] = {
        {"accepted",
         {u"ops@example.com"_s, plainPort, u"perstando@example.com"_s, u" 127.0.0.1 "_s, {}, {}},
         {},
         true,
         u"The test e-mail was accepted by 127.0.0.1."_s,
         0,
         1,
         0},
        {"no port",
         settings(u"abc"_s),
         {},
         false,
         u"The port \"abc\" is no port number."_s,
         0,
         1,
         0},
        {"no server",
         {u"ops@example.com"_s, plainPort, u"perstando@example.com"_s, u"  "_s, {}, {}},
         {},
         false,
         u"No SMTP server is given."_s,
         0,
         1,
         0},
        {"refused",
         settings(plain, u"gone@example.com;ops@example.com"_s),
         {},
         false,
         u"The server refused gone@example.com: 550 5.1.1 <gone@example.com>: Recipient "
         u"address rejected"_s,
         0,
         1,
         0},
        {"typed password", signedIn(), u"pass word"_s, true,
         u"The test e-mail was accepted by 127.0.0.1."_s, 0, 1, 1},
        {"no password", signedIn(), std::nullopt, false, u"no password is stored"_s, 1, 1, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        asked.clear();
        int calls = 0;
        bool accepted = !c.accepted;
        QString outcome;
        mailer_.sendTestMail(c.settings, c.password, [&](bool ok, const QString &text) {
            ++calls;
            accepted = ok;
            outcome = text;
        });
        ASSERT_TRUE(QTest::qWaitFor([&] { return calls > 0; }, 15000));
        ASSERT_TRUE(settled());
        QTest::qWait(50); // a second outcome would come now
        EXPECT_EQ(calls, 1);
        EXPECT_EQ(accepted, c.accepted);
        EXPECT_TRUE(outcome.startsWith(c.outcome)) << outcome.toStdString();
        EXPECT_EQ(asked.size(), c.passwordsAsked);
        EXPECT_EQ(plain.messages().size(), c.plainMails);
        EXPECT_EQ(signIn.messages().size(), c.signedInMails);
    }
    const auto mails = plain.messages();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].header("Subject"), "*****Perstando Alert*****");
    EXPECT_EQ(mails[0].body(), engine::Mailer::testMailBody().toStdString() + "\r\n");
    EXPECT_EQ(signIn.messages().at(0).authUser, "alerts");
    EXPECT_TRUE(questions_.isEmpty());
    EXPECT_TRUE(log_.isEmpty()) << failures().toStdString();
}

} // namespace
