// The webhook's token as the watchdog uses it: looked up on each read of the
// settings with a web address, every alert waiting for the answer, stored and
// removed through the engine, and never written where others can see it.

#include "core/mail_secret.h"
#include "engine/status_report.h"
#include "engine/webhook_token.h"
#include "tests/engine/program_folder_test.h"
#include "tests/engine/wait_with_events.h"
#include "tests/support/http_receiver.h"
#include "tests/support/scoped_env.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>

using namespace testing_support;

namespace {

class WebhookTokenTest : public ReapingFolderTest {
protected:
    std::filesystem::path tokenFile() const { return folder_ / mailsecret::TokenFileName; }
    std::string settings(const HttpReceiver &receiver) const {
        return "[exe2]\nname=Orders\npath=" + exe_.string() +
               "\ntimer=60000\n[mail]\nminutes=1\n[webhook]\nurl=" +
               receiver.url(QStringLiteral("/hook")).toStdString() + "\n";
    }
    /// Ends the slot's program and lets the check restart it: one alert.
    void restart(engine::SlotWatcher &watcher) {
        now_ += 120'000; // past the e-mail span, which would hold the alert back
        const auto pids = pidsOf(exe_);
        for (const pid_t pid : pids) {
            ::kill(pid, SIGKILL);
        }
        ASSERT_TRUE(waitUntil([&] { return pidsOf(exe_).empty(); }));
        watcher.tick(2);
    }
    void clock(engine::SlotWatcher &watcher) {
        watcher.setClock([this] { return now_; });
    }
    QString store(const QString &token) {
        std::optional<QString> problem;
        QObject context;
        engine::storeWebhookToken(token, &context, [&](const QString &p) { problem = p; });
        EXPECT_TRUE(waitWithEvents([&] { return problem.has_value(); }));
        return problem.value_or(QStringLiteral("no answer"));
    }

    std::filesystem::path exe_ = program("orders");
    qint64 now_ = 1'000'000;
    // No Secret Service answers: the token lives in the file.
    ScopedEnv bus_{"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (folder_ / "no-bus").string()};
};

TEST_F(WebhookTokenTest, EveryAlertCarriesTheTokenStoredAtItsTimeAndNothingElseShowsIt) {
    HttpReceiver receiver;
    receiver.setAnswers({401, 200});
    writeFile(tokenFile(), "first-Tok3n\n");
    ::chmod(tokenFile().c_str(), 0600);
    auto &watcher = start(settings(receiver));
    clock(watcher);
    // At once, while the token is still being looked up: the alert waits for it.
    watcher.tick(2);
    ASSERT_TRUE(waitWithEvents([&] { return receiver.requests().size() == 1; }));
    EXPECT_EQ(receiver.requests()[0].header("Authorization"), "Bearer first-Tok3n");
    ASSERT_TRUE(waitWithEvents([&] { return occurrences(logText(), "HTTP 401") == 1; }));

    ASSERT_EQ(store(QStringLiteral(" second-Tok3n\n")), QString());
    watchdog_->reloadWebhookToken();
    restart(watcher);
    ASSERT_TRUE(waitWithEvents([&] { return receiver.requests().size() == 2; }));
    EXPECT_EQ(receiver.requests()[1].header("Authorization"), "Bearer second-Tok3n");
    const QString status = engine::statusText(*watchdog_);
    const QByteArray json = engine::statusJson(*watchdog_);
    EXPECT_TRUE(status.contains(u"Orders")) << "the status is of this watchdog";

    // An empty token removes it: the next alert goes without.
    ASSERT_EQ(store(QString()), QString());
    EXPECT_FALSE(std::filesystem::exists(tokenFile()));
    watchdog_->reloadWebhookToken();
    restart(watcher);
    ASSERT_TRUE(waitWithEvents([&] { return receiver.requests().size() == 3; }));
    EXPECT_FALSE(receiver.requests()[2].hasHeader("Authorization"));

    for (const char *token : {"first-Tok3n", "second-Tok3n"}) {
        EXPECT_EQ(occurrences(logText(), token), 0) << logText();
        EXPECT_FALSE(status.contains(QString::fromUtf8(token))) << status.toStdString();
        EXPECT_FALSE(json.contains(token));
    }
}

TEST_F(WebhookTokenTest, ATokenThatCannotBeReadIsLoggedOnceAndTheAlertsGoWithout) {
    const std::string line = "webhook: the token cannot be read: webhook-token can be read or "
                             "changed by other users (mode 0644); chmod 600 webhook-token";
    HttpReceiver receiver;
    writeFile(tokenFile(), "exposed-Tok3n\n");
    ::chmod(tokenFile().c_str(), 0644);
    // Without a web address the token is not looked for.
    auto &watcher = start("[exe2]\nname=Orders\npath=" + exe_.string() + "\ntimer=60000\n");
    clock(watcher);
    EXPECT_FALSE(waitWithEvents([&] { return occurrences(logText(), "token") > 0; },
                                std::chrono::milliseconds(300)))
        << logText();

    writeFile(folder_ / "settings.ini",
              settings(receiver) + "[log]\npath=" + log().string() + "\n");
    for (std::size_t alerts = 1; alerts <= 2; ++alerts) {
        watchdog_->reload();
        restart(watcher);
        ASSERT_TRUE(waitWithEvents([&] { return receiver.requests().size() == alerts; }));
        EXPECT_FALSE(receiver.requests().back().hasHeader("Authorization"));
    }
    EXPECT_EQ(occurrences(logText(), line), 1) << logText();
    EXPECT_EQ(occurrences(logText(), "exposed-Tok3n"), 0);
}

} // namespace
