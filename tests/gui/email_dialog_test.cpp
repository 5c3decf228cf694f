#include "core/ini_file.h"
#include "dialogs/email_dialog.h"
#include "engine/settings.h"
#include "engine/watchdog.h"
#include "monitor/main_window.h"
#include "tests/gui/gui_test_support.h"
#include "tests/gui/new_main_window.h"
#include "tests/support/scoped_env.h"
#include "tests/support/smtp_test_server.h"
#include "tests/support/thunderbird_profile.h"
#include "ui/window_registry.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTest>
#include <sys/stat.h>

using testing_support::signInRequired;
using testing_support::SmtpTestServer;
using testing_support::TempDir;
using testing_support::WindowTest;

namespace {

const QString reminder = QStringLiteral(
    "Please make sure that you enabled e-mail notification before leaving this screen!");

class EmailDialogTest : public WindowTest {
protected:
    EmailDialog *open() {
        form_ = ui::WindowRegistry::instance().show<EmailDialog>();
        return form_;
    }
    template <class T> T *control(const char *name) const {
        return form_->findChild<T *>(QString::fromLatin1(name));
    }
    QLineEdit *text(const char *name) const { return control<QLineEdit>(name); }
    QRadioButton *option(const char *name) const { return control<QRadioButton>(name); }
    void click(const char *name) const {
        QTest::mouseClick(control<QAbstractButton>(name), Qt::LeftButton);
    }
    QStringList listLines() const {
        QStringList lines;
        auto *list = control<QListWidget>("List1");
        for (int i = 0; i < list->count(); ++i) {
            lines << list->item(i)->text();
        }
        return lines;
    }
    /// Lets Timer1 tick at least once more.
    bool nextTick() const {
        QSignalSpy ticks(control<engine::SwitchedTimer>("Timer1"), &QTimer::timeout);
        return ticks.wait(5000);
    }
    std::string stored(const char *key) const {
        return ini::readValue("mail", key, settingsFile());
    }
    /// The window with the fields typed for `server`, signing in as "alerts",
    /// and its certificate trusted through the CA file of the settings.
    void openFor(const SmtpTestServer &server) {
        const auto ca = folder_ / "company-ca.pem";
        testing_support::writeFile(ca, server.certificatePem());
        writeSettings("[mail]\ncafile=" + ca.string() + "\n");
        // The test e-mail goes through the engine; the window takes it along.
        auto &registry = ui::WindowRegistry::instance();
        registry.setFactory<EmailDialog>([] {
            auto *watchdog = new engine::Watchdog();
            auto *dialog = new EmailDialog(watchdog);
            watchdog->setParent(dialog);
            return dialog;
        });
        open();
        registry.clearFactories();
        text("Text1")->setText(QStringLiteral("ops@example.com"));
        text("Text2")->setText(QString::number(server.port()));
        text("Text3")->setText(QStringLiteral("perstando@example.com"));
        text("Text4")->setText(QStringLiteral("127.0.0.1"));
        text("txtUser")->setText(QStringLiteral("alerts"));
    }

    TempDir home_; // no mail client profile unless a test writes one
    testing_support::ScopedHome scopedHome_{home_.path()};
    EmailDialog *form_ = nullptr;
};

TEST_F(EmailDialogTest, LoadsTheFourFieldsAndLeavesTheOptionsToTheTimer) {
    writeSettings("[mail]\nSendto=a@x;b@y\nport=25\naddress=me@x\nserver=smtp.x\n"
                  "notification=Off\n");
    open();
    EXPECT_EQ(form_->windowTitle(), QStringLiteral("E-mail Notification Setup"));
    EXPECT_EQ(text("Text1")->text(), QStringLiteral("a@x;b@y"));
    EXPECT_EQ(text("Text2")->text(), QStringLiteral("25"));
    EXPECT_EQ(text("Text3")->text(), QStringLiteral("me@x"));
    EXPECT_EQ(text("Text4")->text(), QStringLiteral("smtp.x"));
    EXPECT_EQ(text("Text1")->toolTip(), QStringLiteral("Separate E-mail addresses with ;"));
    auto *timer = control<engine::SwitchedTimer>("Timer1");
    EXPECT_EQ(timer->interval(), 500);
    EXPECT_TRUE(timer->isActive());
    EXPECT_FALSE(option("Option1")->isChecked());
    EXPECT_FALSE(option("Option2")->isChecked());
    ASSERT_TRUE(nextTick());
    EXPECT_FALSE(option("Option1")->isChecked());
    EXPECT_TRUE(option("Option2")->isChecked());
    EXPECT_TRUE(listLines().isEmpty()); // no profile: an empty list, the dialog still works
}

TEST_F(EmailDialogTest, SwitchOnWithoutFromWritesNothingButStillReminds) {
    const std::string before = "[mail]\nnotification=On\nSendto=old@x\n";
    writeSettings(before);
    open();
    text("Text1")->setText(QStringLiteral("new@x"));
    text("Text4")->setText(QStringLiteral("smtp.x"));
    click("Command1");
    EXPECT_EQ(messages_.texts(),
              (QStringList{QStringLiteral("Please enter E-mail address."), reminder}));
    EXPECT_EQ(messages_.shown[0].buttons, QMessageBox::Ok);
    EXPECT_EQ(messages_.shown[1].title, QStringLiteral("Tenacor Reminder"));
    EXPECT_EQ(messages_.shown[1].icon, QMessageBox::Warning);
    EXPECT_EQ(readSettings(), before);

    // Without a server there is no reminder; with a From address it saves.
    messages_.shown.clear();
    text("Text4")->clear();
    click("Command1");
    EXPECT_EQ(messages_.texts(), QStringList{QStringLiteral("Please enter E-mail address.")});
    text("Text3")->setText(QStringLiteral("me@x"));
    click("Command1");
    EXPECT_EQ(stored("Sendto"), "new@x");
    EXPECT_EQ(stored("address"), "me@x");
    EXPECT_TRUE(form_->isVisible());
}

TEST_F(EmailDialogTest, SwitchOffOrUnsetWritesAllFourEvenWhenEmpty) {
    for (const std::string switchLine : {"notification=Off\n", ""}) {
        writeSettings("[mail]\n" + switchLine + "Sendto=a@x\nport=25\naddress=me@x\n");
        open();
        for (const char *name : {"Text1", "Text2", "Text3", "Text4"}) {
            text(name)->clear();
        }
        click("Command1");
        EXPECT_TRUE(messages_.shown.isEmpty());
        EXPECT_EQ(readSettings(), "[mail]\n" + switchLine + "Sendto=\nport=\naddress=\nserver=\n");
        delete form_;
    }
    writeSettings("[mail]\nnotification=Off\n");
    open();
    text("Text4")->setText(QStringLiteral("smtp.x"));
    click("Command1");
    EXPECT_EQ(messages_.texts(), QStringList{reminder}); // whatever the switch says
    EXPECT_EQ(stored("server"), "smtp.x");
}

TEST_F(EmailDialogTest, ClearAllKeepsThePortAndWritesNothingItself) {
    const std::string before = "[mail]\nSendto=a@x\nport=2525\naddress=me@x\nserver=smtp.x\n";
    writeSettings(before);
    open();
    click("Command2");
    EXPECT_EQ(text("Text1")->text(), QString());
    EXPECT_EQ(text("Text2")->text(), QStringLiteral("2525"));
    EXPECT_EQ(text("Text3")->text(), QString());
    EXPECT_EQ(text("Text4")->text(), QString());
    EXPECT_EQ(readSettings(), before);
    click("Command1");
    EXPECT_EQ(readSettings(), "[mail]\nSendto=\nport=2525\naddress=\nserver=\n");
}

TEST_F(EmailDialogTest, LowerCaseOnClearsBothOptionsAndNeedsNoFrom) {
    writeSettings("[mail]\nnotification=on\n");
    open();
    option("Option1")->setChecked(true); // whatever is shown, the tick shows the file
    ASSERT_TRUE(nextTick());
    EXPECT_FALSE(option("Option1")->isChecked());
    EXPECT_FALSE(option("Option2")->isChecked());
    text("Text1")->setText(QStringLiteral("a@x"));
    click("Command1");
    EXPECT_TRUE(messages_.shown.isEmpty());
    EXPECT_EQ(stored("Sendto"), "a@x");
    EXPECT_EQ(stored("notification"), "on");
}

TEST_F(EmailDialogTest, OptionClickWritesAtOnceAndTheTimerFollowsTheFile) {
    open();
    click("Option1");
    EXPECT_EQ(stored("notification"), "On");
    click("Option2");
    EXPECT_EQ(stored("notification"), "Off");
    EXPECT_FALSE(option("Option1")->isChecked());
    EXPECT_TRUE(option("Option2")->isChecked());

    // Another writer changes the file: the buttons show it on the next tick.
    ASSERT_TRUE(ini::writeValue("mail", "notification", "On", settingsFile()));
    EXPECT_TRUE(waitFor([&] { return option("Option1")->isChecked(); }));
    EXPECT_FALSE(option("Option2")->isChecked());
    ASSERT_TRUE(ini::writeValue("mail", "notification", "", settingsFile()));
    EXPECT_TRUE(waitFor([&] { return !option("Option1")->isChecked(); }));
    EXPECT_FALSE(option("Option2")->isChecked());
    // The timer shows, it never writes.
    EXPECT_EQ(stored("notification"), "");
}

TEST_F(EmailDialogTest, LoadPassesTheStoredSwitchToTheMainWindow) {
    auto *main = testing_support::newMainWindow();
    ASSERT_FALSE(main->watchdog().mailSwitch());
    writeSettings("[mail]\nnotification=On\n");
    main->runMenuItem(QStringLiteral("mnuemail"));
    form_ = ui::WindowRegistry::instance().find<EmailDialog>();
    ASSERT_NE(form_, nullptr);
    EXPECT_TRUE(form_->isVisible());
    EXPECT_TRUE(main->watchdog().mailSwitch());
    main->toolbarClick(QStringLiteral("mail")); // an open dialog is only brought forward
    EXPECT_EQ(ui::WindowRegistry::instance().loaded().count(), 2);
}

TEST_F(EmailDialogTest, ReadOnlySettingsFileIsReportedAndNothingIsClaimed) {
    const std::string before = "[mail]\nnotification=Off\n";
    writeSettings(before);
    ::chmod(settingsFile().c_str(), 0444);
    open();
    ASSERT_TRUE(nextTick());
    text("Text3")->setText(QStringLiteral("me@x"));
    text("Text4")->setText(QStringLiteral("smtp.x"));
    click("Command1");
    const QString failed = settings::saveFailedMessage(QStringLiteral("the file is read-only"));
    EXPECT_EQ(messages_.texts(), QStringList{failed}); // no reminder after a failed save
    EXPECT_EQ(messages_.shown[0].icon, QMessageBox::Critical);

    messages_.shown.clear();
    click("Option1");
    EXPECT_EQ(messages_.texts(), QStringList{failed});
    EXPECT_FALSE(option("Option1")->isChecked()); // back to what the file holds
    EXPECT_TRUE(option("Option2")->isChecked());
    EXPECT_EQ(readSettings(), before);
    EXPECT_TRUE(form_->isVisible());
}

TEST_F(EmailDialogTest, AccountListFromTheMailClientProfile) {
    testing_support::writeThunderbirdProfile(home_.path(), testing_support::sampleAccountPrefs());
    open();
    const QStringList expected = {
        QStringLiteral("Default Mail account\taccount1"),
        QStringLiteral("Default News account\taccount3"),
        QStringLiteral("Default LDAP account\tldap_2.servers.Corporate"),
        QString(),
        QStringLiteral("Account  account1"),
        QStringLiteral("SMTP Type\tJane \"JD\" Doe"),
        QStringLiteral("SMTP Name\tWork mail"),
        QStringLiteral("SMTP Server\tsmtp.example.com"),
        QStringLiteral("SMTP User\tjane.smtp"),
        QStringLiteral("SMTP Email\tjane@example.com"),
        QStringLiteral("SMTP ReplyTo\treplies@example.com"),
        QStringLiteral("POP3 Name\tWork mail"),
        QStringLiteral("POP3 Server\timap.example.com"),
        QStringLiteral("POP3 User\tjane"),
        QStringLiteral("POP3 Email\tjane@example.com"),
        QStringLiteral("POP3 ReplyTo\treplies@example.com"),
        QString(),
        QStringLiteral("Account  account3"),
        QStringLiteral("NNTP Type\tJane Doe"),
        QStringLiteral("NNTP Name\tNews for Jane"),
        QStringLiteral("NNTP User\tjdoe"),
        QStringLiteral("NNTP Server\tnews.example.org"),
        QStringLiteral("NNTP Email\tjane@example.org"),
        QStringLiteral("NNTP ReplyTo\tnews-replies@example.org"),
        QString(),
        QStringLiteral("Account  ldap_2.servers.Corporate"),
        QStringLiteral("Name\tCorporate Directory"),
        QStringLiteral("LDAP Server\tldap.example.com"),
        QStringLiteral(
            "LDAP Url\tldap://ldap.example.com:389/dc=example,dc=com??sub?(objectclass=*)"),
        QString(),
    };
    EXPECT_EQ(listLines(), expected);

    // The values stand in one column 25 average characters in, past every label.
    auto *list = control<QListWidget>("List1");
    QStyleOptionViewItem option;
    option.initFrom(list);
    const auto hint = list->itemDelegate()->sizeHint(option, list->model()->index(7, 0));
    const auto &metrics = list->fontMetrics();
    EXPECT_GE(hint.width(), metrics.averageCharWidth() * 25 +
                                metrics.horizontalAdvance(QStringLiteral("smtp.example.com")));
}

// The test button with the fields as typed, against a server that wants TLS
// and a sign-in: accepted, the server's refusal of the sign-in, and the TLS
// error of a certificate nobody trusts. The password never shows.
TEST_F(EmailDialogTest, TheTestEmailSaysWhatBecameOfIt) {
    SmtpTestServer server(signInRequired("alerts", "s3cret pass"));
    ASSERT_TRUE(server.started());
    openFor(server);
    const auto outcome = [&](const QString &password) -> QString {
        messages_.shown.clear();
        text("txtPassword")->setText(password);
        click("cmdTestMail");
        if (!waitFor([&] { return !messages_.shown.isEmpty(); }, 30000)) {
            return QStringLiteral("(no outcome)");
        }
        EXPECT_TRUE(control<QPushButton>("cmdTestMail")->isEnabled());
        return messages_.shown.front().text;
    };

    EXPECT_EQ(outcome(QStringLiteral("s3cret pass")),
              QStringLiteral("The test e-mail was accepted by 127.0.0.1."));
    const auto mails = server.messages();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].authUser, "alerts");
    EXPECT_NE(mails[0].body().find("test e-mail from Perstando"), std::string::npos);

    const QString refused = outcome(QStringLiteral("wrong guess"));
    EXPECT_TRUE(refused.startsWith(QStringLiteral("sign-in refused: 535")))
        << refused.toStdString();
    EXPECT_FALSE(refused.contains(QStringLiteral("wrong guess")));

    writeSettings("[mail]\n");
    const QString untrusted = outcome(QStringLiteral("s3cret pass"));
    EXPECT_TRUE(untrusted.startsWith(QStringLiteral("secure connection failed")))
        << untrusted.toStdString();
    EXPECT_EQ(server.messages().size(), 1u);
    EXPECT_EQ(stored("user"), "") << "the test saved the fields";
}

// Without a desktop keyring the saved password goes to a file only its owner
// can read, never into settings.ini; the window then shows it as stored, and
// the test button signs in with it.
TEST_F(EmailDialogTest, ASavedPasswordIsStoredApartAndUsedByTheTest) {
    testing_support::ScopedEnv noBus("DBUS_SESSION_BUS_ADDRESS",
                                     "unix:path=" + (folder_ / "no-bus").string());
    testing_support::ScopedEnv noRuntime("XDG_RUNTIME_DIR", (folder_ / "no-runtime").string());
    SmtpTestServer server(signInRequired("alerts", "kept apart"));
    ASSERT_TRUE(server.started());
    openFor(server);
    EXPECT_TRUE(control<QLabel>("lblPasswordStored")->isHidden());
    text("txtPassword")->setText(QStringLiteral("kept apart"));
    click("Command1");
    ASSERT_TRUE(waitFor([&] { return !control<QLabel>("lblPasswordStored")->isHidden(); }, 20000))
        << "not shown as stored";
    EXPECT_TRUE(text("txtPassword")->text().isEmpty());
    EXPECT_EQ(stored("user"), "alerts");
    const auto file = folder_ / "mail-password";
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_TRUE(testing_support::readFile(file).starts_with("kept apart"));
    EXPECT_EQ(testing_support::readFile(settingsFile()).find("kept apart"), std::string::npos);

    messages_.shown.clear();
    click("cmdTestMail");
    ASSERT_TRUE(waitFor([&] { return !messages_.shown.isEmpty(); }, 30000));
    EXPECT_EQ(messages_.shown.front().text,
              QStringLiteral("The test e-mail was accepted by 127.0.0.1."));
    ASSERT_EQ(server.messages().size(), 1u);
    EXPECT_EQ(server.messages()[0].authUser, "alerts");
}

TEST(EmailAccountLines, BlockFollowsNewsThenDirectoryThenMail) {
    core::MailAccountStore store;
    core::MailAccount both;
    both.id = "both";
    both.nntpServer = "news.x";
    both.ldapServer = "ldap.x";
    store.accounts = {both, core::MailAccount{}};
    const QStringList lines = EmailDialog::accountLines(store);
    ASSERT_EQ(lines.size(), 4 + 8 + 13);
    EXPECT_EQ(lines.mid(0, 4), (QStringList{QStringLiteral("Default Mail account\t"),
                                            QStringLiteral("Default News account\t"),
                                            QStringLiteral("Default LDAP account\t"), QString()}));
    EXPECT_EQ(lines[4], QStringLiteral("Account  both"));
    EXPECT_EQ(lines[8], QStringLiteral("NNTP Server\tnews.x")); // news wins over directory
    // A record with nothing in it shows as a mail account with empty values.
    EXPECT_EQ(lines[12], QStringLiteral("Account  "));
    EXPECT_EQ(lines[13], QStringLiteral("SMTP Type\t"));
    EXPECT_EQ(lines[23], QStringLiteral("POP3 ReplyTo\t"));
    EXPECT_EQ(lines[24], QString());
    EXPECT_TRUE(EmailDialog::accountLines(std::nullopt).isEmpty());
}

} // namespace
