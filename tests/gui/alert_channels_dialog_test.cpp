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
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

namespace {

using testing_support::ScopedEnv;

class AlertChannelsTest : public testing_support::Form1Test {
protected:
    /// The window alone, without the engine.
    void open() { dialog_ = ui::WindowRegistry::instance().show<AlertChannelsDialog>(); }
    template <class T = QLineEdit> T *field(const char *name) const {
        auto *found = dialog_->findChild<T *>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    /// The event boxes of "chkWebhook_" or "chkNotify_".
    QList<QCheckBox *> events(const char *prefix) const {
        QList<QCheckBox *> boxes;
        for (auto *box : dialog_->findChildren<QCheckBox *>()) {
            if (box->objectName().startsWith(QString::fromLatin1(prefix))) {
                boxes << box;
            }
        }
        return boxes;
    }
    QStringList ticked(const char *prefix) const {
        QStringList names;
        for (auto *box : events(prefix)) {
            if (box->isChecked()) {
                names << box->text();
            }
        }
        return names;
    }
    void click(const char *name) const {
        QTest::mouseClick(field<QAbstractButton>(name), Qt::LeftButton);
    }
    /// Clicks a test button and waits for its answer.
    QString answerTo(const char *button, const char *label) const {
        field<QLabel>(label)->clear();
        click(button);
        const bool answered = waitFor(
            [&] {
                return field<QPushButton>(button)->isEnabled() &&
                       !field<QLabel>(label)->text().isEmpty();
            },
            20000);
        return answered ? field<QLabel>(label)->text() : QStringLiteral("(no answer)");
    }
    std::string stored(const char *section, const char *key) const {
        return ini::readValue(section, key, settingsFile());
    }
    std::string storedToken() const { return testing_support::readFile(folder_ / "webhook-token"); }

    // No keyring: the token goes to the file beside the settings.
    ScopedEnv noBus_{"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (folder_ / "no-bus").string()};
    ScopedEnv noRuntime_{"XDG_RUNTIME_DIR", (folder_ / "no-runtime").string()};
    AlertChannelsDialog *dialog_ = nullptr;
};

TEST_F(AlertChannelsTest, ShowsTheStoredChannelsAndSaveWritesThemBackWithTheTokenApart) {
    writeSettings("[webhook]\nurl=https://hooks.example/alerts\nformat=Slack\n"
                  "events=gave up, Not Healthy, no such thing\n[notify]\non=On\n");
    open();
    EXPECT_EQ(field("txtWebhookUrl")->text(), QStringLiteral("https://hooks.example/alerts"));
    EXPECT_EQ(field<QComboBox>("cboWebhookFormat")->currentText(), QStringLiteral("slack"));
    EXPECT_EQ(ticked("chkWebhook_"),
              (QStringList{QStringLiteral("gave up"), QStringLiteral("unhealthy")}));
    EXPECT_TRUE(field<QCheckBox>("chkNotify")->isChecked());
    EXPECT_EQ(ticked("chkNotify_").size(), 10) << "an empty list is every event";

    field<QComboBox>("cboWebhookFormat")->setCurrentText(QStringLiteral("ntfy"));
    field("txtWebhookCaFile")->setText(QStringLiteral("/etc/ca.pem"));
    field<QCheckBox>("chkWebhook_unhealthy")->setChecked(false);
    field<QCheckBox>("chkWebhook_restarted")->setChecked(true);
    field<QCheckBox>("chkNotify_connection_back")->setChecked(false);
    field<QCheckBox>("chkNotify")->setChecked(false);
    field("txtWebhookToken")->setText(QStringLiteral("tk-81f3"));
    click("cmdSave");
    EXPECT_TRUE(messages_.shown.isEmpty());
    EXPECT_EQ(stored("webhook", "url"), "https://hooks.example/alerts");
    EXPECT_EQ(stored("webhook", "format"), "ntfy");
    EXPECT_EQ(stored("webhook", "cafile"), "/etc/ca.pem");
    EXPECT_EQ(stored("webhook", "events"), "restarted, gave up");
    EXPECT_EQ(stored("notify", "on"), "Off");
    EXPECT_EQ(stored("notify", "events"),
              "restarted, restart failed, gave up, watched again, not responding, "
              "responding again, unhealthy, healthy again, connection lost");
    ASSERT_TRUE(waitFor([&] { return !field<QLabel>("lblTokenStored")->isHidden(); }, 20000));
    EXPECT_TRUE(field("txtWebhookToken")->text().isEmpty());
    EXPECT_TRUE(storedToken().starts_with("tk-81f3"));
    EXPECT_EQ(readSettings().find("tk-81f3"), std::string::npos);

    // Every event ticked is the default list; blanks typed keep the stored
    // token, and removing it empties the store.
    for (auto *box : dialog_->findChildren<QCheckBox *>()) {
        box->setChecked(true);
    }
    field("txtWebhookToken")->setText(QStringLiteral("  "));
    click("cmdSave");
    EXPECT_TRUE(holdsFor([&] { return storedToken().starts_with("tk-81f3"); }, 500));
    EXPECT_EQ(stored("webhook", "events"), "");
    EXPECT_EQ(stored("notify", "events"), "");
    EXPECT_EQ(stored("notify", "on"), "On");
    click("cmdRemoveToken");
    ASSERT_TRUE(waitFor([&] { return field<QLabel>("lblTokenStored")->isHidden(); }, 20000));
    EXPECT_FALSE(storedToken().starts_with("tk-81f3"));
}

TEST_F(AlertChannelsTest, SaveRefusesWhatCannotBeSentAndWritesNothing) {
    const std::string before = "[webhook]\nurl=https://hooks.example/alerts\n";
    struct Case {
        const char *url;
        const char *noEvents; ///< the channel left with no event ticked, if any
    };
    for (const Case &c :
         {Case{"ftp://hooks.example/alerts", nullptr}, Case{"hooks.example/alerts", nullptr},
          Case{"https://", nullptr}, Case{"http://hooks example/alerts", nullptr},
          Case{"https://hooks.example/alerts", "chkWebhook_"}, Case{"", "chkNotify_"}}) {
        SCOPED_TRACE(c.url);
        writeSettings(before);
        open();
        field("txtWebhookUrl")->setText(QString::fromLatin1(c.url));
        field("txtWebhookToken")->setText(QStringLiteral("never-kept"));
        for (auto *box : c.noEvents ? events(c.noEvents) : QList<QCheckBox *>()) {
            box->setChecked(false);
        }
        messages_.shown.clear();
        click("cmdSave");
        ASSERT_EQ(messages_.shown.size(), 1);
        EXPECT_EQ(messages_.shown[0].icon, QMessageBox::Warning);
        EXPECT_EQ(readSettings(), before);
        // Given the chance, a token would have reached the store by now.
        EXPECT_TRUE(holdsFor([&] { return storedToken().empty(); }, 300));
        delete dialog_;
    }
}

// From the Setup menu the window gets the running engine: its webhook test
// posts the fields as typed, with the stored token unless one is typed, and its
// notification test asks the session's notification server.
TEST_F(AlertChannelsTest, SendTestPostsTheFieldsAndShowsTheAnswer) {
    testing_support::HttpReceiver receiver;
    // A bus of its own without a keyring: the token still goes to its file.
    testing_support::SecretServiceSession bus(testing_support::SecretServiceSession::Keyring::None);
    ScopedEnv busEnv("DBUS_SESSION_BUS_ADDRESS", bus.address());
    testing_support::NotificationServer notifications(QString::fromStdString(bus.address()));
    start();
    bool stored = false;
    engine::storeWebhookToken(QStringLiteral("stored-tk"), form_,
                              [&](const QString &problem) { stored = problem.isEmpty(); });
    ASSERT_TRUE(waitFor([&] { return stored; }, 20000));
    form_->findChild<QAction *>(QStringLiteral("mnuAlertChannels"))->trigger();
    dialog_ = ui::WindowRegistry::instance().find<AlertChannelsDialog>();
    ASSERT_TRUE(dialog_ && dialog_->isVisible());

    field("txtWebhookUrl")->setText(QStringLiteral("ftp://127.0.0.1/hook"));
    EXPECT_FALSE(answerTo("cmdTestWebhook", "lblWebhookTest").startsWith(QStringLiteral("HTTP")));
    field("txtWebhookUrl")->setText(receiver.url(QStringLiteral("/hook")));
    const QString ok = answerTo("cmdTestWebhook", "lblWebhookTest");
    EXPECT_TRUE(ok.startsWith(QStringLiteral("HTTP 200 "))) << ok.toStdString();
    field("txtWebhookToken")->setText(QStringLiteral("typed-tk"));
    receiver.setAnswers({401});
    const QString refused = answerTo("cmdTestWebhook", "lblWebhookTest");
    EXPECT_TRUE(refused.startsWith(QStringLiteral("HTTP 401 "))) << refused.toStdString();
    ASSERT_EQ(receiver.requests().size(), 2u) << "the ftp address was posted to";
    EXPECT_EQ(receiver.requests()[0].header("Authorization"), "Bearer stored-tk");
    EXPECT_EQ(receiver.requests()[1].header("Authorization"), "Bearer typed-tk");
    EXPECT_EQ(readSettings().find("127.0.0.1"), std::string::npos) << "the test saved the fields";

    EXPECT_EQ(answerTo("cmdTestNotify", "lblNotifyTest"),
              QStringLiteral("Shown by testserver 1.2.3"));
    EXPECT_EQ(notifications.shown().size(), 1u);
}

} // namespace
