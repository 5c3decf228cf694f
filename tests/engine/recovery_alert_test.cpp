// The recoveries as the channels tell them: the connection's return once per
// outage, e-mailed only with [mail] recovery=On, and a loss told to the
// webhook once however many checks find it.

#include "engine/internet_watch.h"
#include "tests/engine/program_folder_test.h"
#include "tests/engine/wait_with_events.h"
#include "tests/support/http_receiver.h"
#include "tests/support/smtp_test_server.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

using namespace testing_support;

namespace {

using RecoveryAlertTest = ProgramFolderTest;

TEST_F(RecoveryAlertTest, TheConnectionsReturnIsToldOnceAndMailedOnlyWhenAskedFor) {
    for (const bool recovery : {false, true}) {
        SCOPED_TRACE(recovery ? "recovery=On" : "no recovery key");
        std::filesystem::remove(log());
        SmtpTestServer server;
        ASSERT_TRUE(server.started());
        HttpReceiver receiver;
        start("[mail]\nnotification=On\nSendto=ops@example.com\naddress=perstando@example.com\n"
              "server=127.0.0.1\nport=" +
              std::to_string(server.port()) + (recovery ? "\nrecovery=On" : "") +
              "\n[webhook]\nurl=" + receiver.url().toStdString() + "\n");
        engine::InternetWatch &watch = watchdog_->internetWatch();
        bool connected = true;
        watch.setProbe([&] { return connected; });
        watch.check(); // the first check finds it: nothing came back
        connected = false;
        watch.check();
        watch.check();
        connected = true;
        watch.check();
        watch.check();

        ASSERT_TRUE(waitWithEvents([&] { return receiver.requests().size() == 2; }));
        EXPECT_FALSE(waitWithEvents([&] { return receiver.requests().size() > 2; },
                                    std::chrono::milliseconds(300)));
        QStringList kinds;
        for (const HttpRequest &request : receiver.requests()) {
            kinds << QJsonDocument::fromJson(request.body).object()[u"kind"].toString();
        }
        EXPECT_EQ(kinds, (QStringList{QStringLiteral("connection lost"),
                                      QStringLiteral("connection back")}));
        EXPECT_EQ(occurrences(logText(), "Internet Connection has been Lost!"), 2)
            << "the log keeps every check's loss";

        if (recovery) {
            ASSERT_TRUE(waitWithEvents([&] { return server.messages().size() == 1; }));
            EXPECT_NE(server.messages().front().body().find("The internet connection is back."),
                      std::string::npos);
        }
        EXPECT_FALSE(waitWithEvents([&] { return server.messages().size() > (recovery ? 1 : 0); },
                                    std::chrono::milliseconds(300)));
        TearDown();
        SetUp();
    }
}

} // namespace
