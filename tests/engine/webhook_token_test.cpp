// The webhook's token in the watchdog: looked up at each read of the settings
// with a web address, alerts waiting for the answer, and never shown elsewhere.

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
    /// Ends the slot's program, past the e-mail span, and lets the check restart it.
    void restart(engine::SlotWatcher &watcher) {
        now_ += 120'000;
        for (const pid_t pid : pidsOf(exe_)) {
            ::kill(pid, SIGKILL);
        }
        ASSERT_TRUE(waitUntil([&] { return pidsOf(exe_).empty(); }));
        watcher.tick(2);
    }
    QString store(const QString &token) {
        std::optional<QString> problem;
        engine::storeWebhookToken(token, watchdog_.get(), [&](const QString &p) { problem = p; });
        EXPECT_TRUE(waitWithEvents([&] { return problem.has_value(); }));
        return problem.value_or(QStringLiteral("no answer"));
    }

    std::filesystem::path exe_ = program("orders");
    std::filesystem::path tokenFile_ = folder_ / mailsecret::TokenFileName;
    qint64 now_ = 1'000'000;
    // No Secret Service answers: the token lives in its file.
    ScopedEnv bus_{"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (folder_ / "no-bus").string()};
};

TEST_F(WebhookTokenTest, AlertsCarryTheTokenOfTheirTimeAndNothingElseShowsIt) {
    HttpReceiver receiver;
    receiver.setAnswers({401, 200});
    const std::string slot = "[exe2]\nname=Orders\npath=" + exe_.string() + "\ntimer=60000\n";
    const std::string hook = "[webhook]\nurl=" + receiver.url().toStdString() + "\n";
    writeFile(tokenFile_, "first-Tok3n\n");
    ::chmod(tokenFile_.c_str(), 0600);
    auto &watcher = start(slot + hook);
    watcher.setClock([this] { return now_; });
    watcher.tick(2); // at once, while the token is looked up: the alert waits for it
    ASSERT_TRUE(waitWithEvents([&] { return receiver.requests().size() == 1; }));
    EXPECT_EQ(receiver.requests()[0].header("Authorization"), "Bearer first-Tok3n");
    const QString status = engine::statusText(*watchdog_);
    const QByteArray json = engine::statusJson(*watchdog_);
    EXPECT_TRUE(status.contains(u"Orders"));
    EXPECT_FALSE(status.contains(u"first-Tok3n") || json.contains("first-Tok3n"));

    const std::string unreadable = "webhook: the token cannot be read: webhook-token can be read "
                                   "or changed by other users (mode 0644)";
    const struct {
        std::function<void()> change;
        QByteArray header;
    } steps[] = {
        {[&] { EXPECT_EQ(store(QStringLiteral(" second-Tok3n\n")), QString()); },
         "Bearer second-Tok3n"},
        {[&] { EXPECT_EQ(store(QString()), QString()); }, {}},
        {[&] {
             writeFile(tokenFile_, "exposed\n");
             ::chmod(tokenFile_.c_str(), 0644);
         },
         {}},
        {[] {}, {}}, // read again: the same reason is not logged again
    };
    for (const auto &step : steps) {
        step.change();
        watchdog_->reloadWebhookToken();
        const std::size_t sent = receiver.requests().size();
        restart(watcher);
        ASSERT_TRUE(waitWithEvents([&] { return receiver.requests().size() == sent + 1; }));
        EXPECT_EQ(receiver.requests().back().header("Authorization"), step.header);
    }
    EXPECT_EQ(occurrences(logText(), unreadable), 1) << logText();

    // Without a web address nothing looks for the token, nor logs about it.
    writeFile(folder_ / "settings.ini", slot + "[log]\npath=" + log().string() + "\n");
    watchdog_->reload();
    EXPECT_FALSE(waitWithEvents([&] { return occurrences(logText(), unreadable) > 1; },
                                std::chrono::milliseconds(300)));
    EXPECT_EQ(occurrences(logText(), "HTTP 401"), 1) << "the failure is logged";
    for (const char *token : {"first-Tok3n", "second-Tok3n", "exposed"}) {
        EXPECT_EQ(occurrences(logText(), token), 0) << logText();
    }
}

} // namespace
