#include "core/ini_file.h"
#include "dialogs/alert_channels_dialog.h"
#include "engine/webhook_token.h"
#include "tests/gui/main_window_fixture.h"
#include "tests/support/http_receiver.h"
#include "tests/support/notification_server.h"
#include "tests/support/scoped_env.h"
#include "tests/support/secret_service.h"
#include "ui/window_registry.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

namespace {

using testing_support::HttpReceiver;

class AlertChannelsTest : public testing_support::Form1Test {
protected:
    /// Opens the window alone, without the engine.
    void open() { dialog_ = ui::WindowRegistry::instance().show<AlertChannelsDialog>(); }
    template <class T> T *field(const QString &name) const {
        auto *found = dialog_->findChild<T *>(name);
        EXPECT_NE(found, nullptr) << name.toStdString();
        return found;
    }
    QLineEdit *text(const char *name) const { return field<QLineEdit>(QString::fromLatin1(name)); }
    /// The event box of `channel` ("Webhook" or "Notify") for the event `name`.
    QCheckBox *event(const char *channel, QString name) const {
        return field<QCheckBox>(QStringLiteral("chk%1_%2")
                                    .arg(QString::fromLatin1(channel),
                                         name.replace(QLatin1Char(' '), QLatin1Char('_'))));
    }
    QStringList ticked(const char *channel) const {
        QStringList names;
        const QString prefix = QStringLiteral("chk%1_").arg(QString::fromLatin1(channel));
        for (auto *box : dialog_->findChildren<QCheckBox *>()) {
            if (box->objectName().startsWith(prefix) && box->isChecked()) {
                names << box->text();
            }
        }
        return names;
    }
    void click(const char *name) const {
        QTest::mouseClick(field<QAbstractButton>(QString::fromLatin1(name)), Qt::LeftButton);
    }
    std::string stored(const char *section, const char *key) const {
        return ini::readValue(section, key, settingsFile());
    }
    std::filesystem::path tokenFile() const { return folder_ / "webhook-token"; }

    // No keyring: the token goes to the file beside the settings, which the
    // tests can read.
    testing_support::ScopedEnv noBus_{"DBUS_SESSION_BUS_ADDRESS",
                                      "unix:path=" + (folder_ / "no-bus").string()};
    testing_support::ScopedEnv noRuntime_{"XDG_RUNTIME_DIR", (folder_ / "no-runtime").string()};
    AlertChannelsDialog *dialog_ = nullptr;
};

TEST_F(AlertChannelsTest, ShowsTheStoredChannelsAndSaveWritesThemBackWithTheTokenApart) {
    writeSettings("[webhook]\nurl=https://hooks.example/alerts\nformat=Slack\ncafile=/etc/ca.pem\n"
                  "events=gave up, Not Healthy, no such thing\n[notify]\non=On\n");
    open();
    EXPECT_EQ(dialog_->windowTitle(), QStringLiteral("Alert Channels"));
    EXPECT_EQ(text("txtWebhookUrl")->text(), QStringLiteral("https://hooks.example/alerts"));
    EXPECT_EQ(field<QComboBox>(QStringLiteral("cboWebhookFormat"))->currentText(),
              QStringLiteral("slack"));
    EXPECT_EQ(text("txtWebhookCaFile")->text(), QStringLiteral("/etc/ca.pem"));
    EXPECT_EQ(text("txtWebhookToken")->echoMode(), QLineEdit::Password);
    EXPECT_EQ(ticked("Webhook"),
              (QStringList{QStringLiteral("gave up"), QStringLiteral("unhealthy")}));
    EXPECT_TRUE(field<QCheckBox>(QStringLiteral("chkNotify"))->isChecked());
    EXPECT_EQ(ticked("Notify").size(), 10) << "an empty list is every event";

    field<QComboBox>(QStringLiteral("cboWebhookFormat"))->setCurrentText(QStringLiteral("ntfy"));
    event("Webhook", QStringLiteral("unhealthy"))->setChecked(false);
    event("Webhook", QStringLiteral("restarted"))->setChecked(true);
    event("Notify", QStringLiteral("connection back"))->setChecked(false);
    field<QCheckBox>(QStringLiteral("chkNotify"))->setChecked(false);
    text("txtWebhookToken")->setText(QStringLiteral("tk-81f3"));
    click("cmdSave");
    EXPECT_TRUE(messages_.shown.isEmpty())
        << messages_.texts().join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(stored("webhook", "url"), "https://hooks.example/alerts");
    EXPECT_EQ(stored("webhook", "format"), "ntfy");
    EXPECT_EQ(stored("webhook", "cafile"), "/etc/ca.pem");
    EXPECT_EQ(stored("webhook", "events"), "restarted, gave up");
    EXPECT_EQ(stored("notify", "on"), "Off");
    EXPECT_EQ(stored("notify", "events"),
              "restarted, restart failed, gave up, watched again, not responding, "
              "responding again, unhealthy, healthy again, connection lost");

    ASSERT_TRUE(waitFor(
        [&] { return !field<QLabel>(QStringLiteral("lblTokenStored"))->isHidden(); }, 20000))
        << "the token is not shown as stored";
    EXPECT_TRUE(text("txtWebhookToken")->text().isEmpty());
    EXPECT_TRUE(testing_support::readFile(tokenFile()).starts_with("tk-81f3"));
    EXPECT_EQ(readSettings().find("tk-81f3"), std::string::npos);

    // Every event ticked is the default list; blanks typed keep the stored
    // token, and removing it empties the store.
    for (auto *box : dialog_->findChildren<QCheckBox *>()) {
        box->setChecked(true);
    }
    text("txtWebhookToken")->setText(QStringLiteral("  "));
    click("cmdSave");
    EXPECT_TRUE(holdsFor(
        [&] { return testing_support::readFile(tokenFile()).starts_with("tk-81f3"); }, 500));
    EXPECT_EQ(stored("webhook", "events"), "");
    EXPECT_EQ(stored("notify", "events"), "");
    EXPECT_EQ(stored("notify", "on"), "On");
    click("cmdRemoveToken");
    ASSERT_TRUE(waitFor([&] { return field<QLabel>(QStringLiteral("lblTokenStored"))->isHidden(); },
                        20000));
    EXPECT_FALSE(std::filesystem::exists(tokenFile()) &&
                 testing_support::readFile(tokenFile()).starts_with("tk-81f3"));
}

TEST_F(AlertChannelsTest, SaveRefusesWhatCannotBeSentAndWritesNothing) {
    const std::string before = "[webhook]\nurl=https://hooks.example/alerts\n";
    struct Case {
        const char *url;
        const char *untick; ///< a channel whose events are all unticked, or none
    };
    for (const Case &c :
         {Case{"ftp://hooks.example/alerts", nullptr}, Case{"hooks.example/alerts", nullptr},
          Case{"https://", nullptr}, Case{"http://hooks example/alerts", nullptr},
          Case{"https://hooks.example/alerts", "Webhook"}, Case{"", "Notify"}}) {
        SCOPED_TRACE(c.url);
        writeSettings(before);
        open();
        text("txtWebhookUrl")->setText(QString::fromLatin1(c.url));
        text("txtWebhookToken")->setText(QStringLiteral("never-kept"));
        if (c.untick) {
            const QString prefix = QStringLiteral("chk%1_").arg(QString::fromLatin1(c.untick));
            for (auto *box : dialog_->findChildren<QCheckBox *>()) {
                if (box->objectName().startsWith(prefix)) {
                    box->setChecked(false);
                }
            }
        }
        messages_.shown.clear();
        click("cmdSave");
        ASSERT_EQ(messages_.shown.size(), 1);
        EXPECT_EQ(messages_.shown[0].icon, QMessageBox::Warning);
        EXPECT_EQ(readSettings(), before);
        // Given the chance, a token would have reached the store by now.
        EXPECT_TRUE(holdsFor([&] { return !std::filesystem::exists(tokenFile()); }, 300));
        delete dialog_;
    }
}

// From the Setup menu, the window gets the running engine: its webhook test
// posts the fields as typed, with the stored token unless one is typed, and its
// notification test asks the session's notification server.
TEST_F(AlertChannelsTest, SendTestPostsTheFieldsAndShowsTheAnswer) {
    HttpReceiver receiver;
    // A bus of its own with no keyring: the token still goes to its file.
    testing_support::SecretServiceSession bus(testing_support::SecretServiceSession::Keyring::None);
    testing_support::ScopedEnv busEnv("DBUS_SESSION_BUS_ADDRESS", bus.address());
    testing_support::NotificationServer notifications(QString::fromStdString(bus.address()));
    start();
    bool stored = false;
    engine::storeWebhookToken(QStringLiteral("stored-tk"), form_, [&](const QString &problem) {
        EXPECT_TRUE(problem.isEmpty()) << problem.toStdString();
        stored = true;
    });
    ASSERT_TRUE(waitFor([&] { return stored; }, 20000));
    form_->findChild<QAction *>(QStringLiteral("mnuAlertChannels"))->trigger();
    dialog_ = ui::WindowRegistry::instance().find<AlertChannelsDialog>();
    ASSERT_NE(dialog_, nullptr);
    ASSERT_TRUE(dialog_->isVisible());

    auto *answer = field<QLabel>(QStringLiteral("lblWebhookTest"));
    const auto test = [&] {
        answer->clear();
        click("cmdTestWebhook");
        return waitFor(
            [&] {
                return field<QPushButton>(QStringLiteral("cmdTestWebhook"))->isEnabled() &&
                       !answer->text().isEmpty();
            },
            20000);
    };
    text("txtWebhookUrl")->setText(QStringLiteral("ftp://127.0.0.1/hook"));
    ASSERT_TRUE(test());
    EXPECT_TRUE(receiver.requests().empty()) << "an address refused on save is not posted to";

    text("txtWebhookUrl")->setText(receiver.url(QStringLiteral("/hook")));
    ASSERT_TRUE(test());
    EXPECT_TRUE(answer->text().startsWith(QStringLiteral("HTTP 200")))
        << answer->text().toStdString();
    ASSERT_EQ(receiver.requests().size(), 1u);
    const auto &posted = receiver.requests()[0];
    EXPECT_EQ(posted.path, "/hook");
    EXPECT_EQ(posted.header("Authorization"), "Bearer stored-tk");
    EXPECT_EQ(
        QJsonDocument::fromJson(posted.body).object().value(QStringLiteral("kind")).toString(),
        QStringLiteral("test"));

    text("txtWebhookToken")->setText(QStringLiteral("typed-tk"));
    receiver.setAnswers({401});
    ASSERT_TRUE(test());
    EXPECT_TRUE(answer->text().startsWith(QStringLiteral("HTTP 401")))
        << answer->text().toStdString();
    ASSERT_EQ(receiver.requests().size(), 2u);
    EXPECT_EQ(receiver.requests()[1].header("Authorization"), "Bearer typed-tk");
    EXPECT_EQ(readSettings().find("127.0.0.1"), std::string::npos) << "the test saved the fields";

    auto *notifyAnswer = field<QLabel>(QStringLiteral("lblNotifyTest"));
    click("cmdTestNotify");
    ASSERT_TRUE(waitFor(
        [&] {
            return field<QPushButton>(QStringLiteral("cmdTestNotify"))->isEnabled() &&
                   !notifyAnswer->text().isEmpty();
        },
        20000));
    EXPECT_EQ(notifyAnswer->text(), QStringLiteral("Shown by testserver 1.2.3"));
    ASSERT_EQ(notifications.shown().size(), 1u);
    EXPECT_EQ(notifications.shown()[0].summary, QStringLiteral("Perstando"));
}

} // namespace
