// Mail servers that misbehave: each failed alert is logged, nothing hangs, and
// the other slots keep being checked while the alert is under way.

#include "engine/mailer.h"
#include "engine/watchdog.h"
#include "monitor/main_window.h"
#include "tests/gui/gui_test_support.h"
#include "tests/gui/new_main_window.h"
#include "tests/support/smtp_test_server.h"

#include <signal.h>

using namespace Qt::StringLiterals;

using testing_support::SmtpServerOptions;
using testing_support::SmtpTestServer;
using testing_support::WindowTest;

namespace {

int countOf(const std::string &text, const std::string &needle) {
    int count = 0;
    for (auto pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1)) {
        ++count;
    }
    return count;
}

struct Hostile {
    const char *name;
    SmtpServerOptions options;
    const char *reason; ///< start of the reason the log gives
    const char *event;  ///< what the server records when it did its worst
};

class HostileMailTest : public WindowTest, public ::testing::WithParamInterface<Hostile> {};

TEST_P(HostileMailTest, TheAlertFailsInTheLogWhileAnotherSlotIsStillRestarted) {
    const Hostile &hostile = GetParam();
    SmtpTestServer server(hostile.options);
    ASSERT_TRUE(server.started());
    const auto exe = testing_support::copyExecutable(WATCHED_PROGRAM, folder_.path(),
                                                     testing_support::uniqueName("bystander"));
    const auto log = folder_ / "perstando.log";
    writeSettings("[exe1]\nname=One\n[exe2]\nname=Two\ntimer=100\npath=" + exe.string() +
                  "\n[log]\npath=" + log.string() +
                  "\n[mail]\nnotification=Off\nSendto=ops@example.com\nport=" +
                  std::to_string(server.port()) +
                  "\naddress=perstando@example.com\nserver=127.0.0.1\n");
    // The alert is slot 1's, sent by hand; slot 2's restarts send none.
    auto *form = testing_support::newMainWindow();
    auto *mailer = form->findChild<engine::Mailer *>(u"Mailer"_s);
    ASSERT_NE(mailer, nullptr);
    mailer->setTimeouts(1500, 1500);
    // Long enough for slot 2's restart to fall inside the alert.
    mailer->setPacing(2000, 500);
    ASSERT_TRUE(waitFor([&] { return testing_support::pidsOf(exe).size() == 1; }));
    const pid_t first = testing_support::pidsOf(exe).at(0);

    // Slot 2's program dies while slot 1's alert talks to the server.
    form->watchdog().sendRestartMail(1, false);
    ::kill(first, SIGKILL);
    ASSERT_TRUE(waitFor([&] {
        const auto now = testing_support::pidsOf(exe);
        return now.size() == 1 && now[0] != first;
    })) << "slot 2 was not checked during the alert";
    EXPECT_GT(mailer->pendingMails(), 0);

    ASSERT_TRUE(waitFor([&] { return mailer->pendingMails() == 0; }, 20000))
        << "the alert never ended";
    const std::string text = testing_support::readFile(log);
    EXPECT_EQ(countOf(text, " E-mail notification could not be sent: "), 1) << text;
    EXPECT_EQ(
        countOf(text, std::string(" E-mail notification could not be sent: ") + hostile.reason), 1)
        << text;
    EXPECT_EQ(countOf(text, ",Two has been restarted."), 2) << text;
    EXPECT_TRUE(server.messages().empty());
    if (hostile.event) {
        const auto events = server.events();
        EXPECT_NE(std::find(events.begin(), events.end(), hostile.event), events.end());
    }
    EXPECT_TRUE(messages_.shown.isEmpty());
    delete form;
    testing_support::killAll(exe);
}

INSTANTIATE_TEST_SUITE_P(
    Servers, HostileMailTest,
    ::testing::Values(Hostile{"DropsTheConnectionInData",
                              {.fault = SmtpServerOptions::Fault::DropInData},
                              "connection ",
                              "data dropped"},
                      Hostile{"SendsGarbage",
                              {.fault = SmtpServerOptions::Fault::Garbage},
                              "unreadable answer",
                              "garbage"},
                      Hostile{
                          "NeverAnswers", {.silent = true}, "no answer from the server", nullptr}),
    [](const ::testing::TestParamInfo<Hostile> &info) { return std::string(info.param.name); });

} // namespace
