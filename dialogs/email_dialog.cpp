#include "dialogs/email_dialog.h"

#include "dialogs/save_settings.h"
#include "engine/mail_password.h"
#include "engine/mailer.h"
#include "engine/settings.h"
#include "engine/watchdog.h"
#include "ui/message_box.h"
#include "ui/window_fit.h"
#include "ui/window_registry.h"

#include <QApplication>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QStyledItemDelegate>
#include <QVBoxLayout>

namespace {

/// Draws "label<TAB>value" items with the values in one column, 100 dialog
/// units (25 average characters) from the left edge of the text.
class TabStopDelegate final : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    static int tabStop(const QFontMetrics &metrics) { return metrics.averageCharWidth() * 25; }

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override {
        QStyleOptionViewItem item(option);
        initStyleOption(&item, index);
        const QString text = item.text;
        item.text.clear();
        const QWidget *widget = item.widget;
        QStyle *style = widget ? widget->style() : QApplication::style();
        style->drawControl(QStyle::CE_ItemViewItem, &item, painter, widget);

        const QRect area = style->subElementRect(QStyle::SE_ItemViewItemText, &item, widget);
        const auto group =
            item.state.testFlag(QStyle::State_Enabled) ? QPalette::Normal : QPalette::Disabled;
        const auto role = item.state.testFlag(QStyle::State_Selected) ? QPalette::HighlightedText
                                                                      : QPalette::Text;
        painter->save();
        painter->setFont(item.font);
        painter->setPen(item.palette.color(group, role));
        const auto tab = text.indexOf(QLatin1Char('\t'));
        const int flags = Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine;
        if (tab < 0) {
            painter->drawText(area, flags, text);
        } else {
            const QString label = text.left(tab);
            const int column =
                std::max(tabStop(item.fontMetrics),
                         item.fontMetrics.horizontalAdvance(label + QLatin1Char(' ')));
            painter->drawText(area, flags, label);
            painter->drawText(area.adjusted(column, 0, 0, 0), flags, text.mid(tab + 1));
        }
        painter->restore();
    }

    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        const QString text = index.data().toString();
        const auto tab = text.indexOf(QLatin1Char('\t'));
        if (tab >= 0) {
            const auto &metrics = option.fontMetrics;
            const int column = std::max(
                tabStop(metrics), metrics.horizontalAdvance(text.left(tab) + QLatin1Char(' ')));
            size.setWidth(column + metrics.horizontalAdvance(text.mid(tab + 1)) +
                          2 * metrics.averageCharWidth());
        }
        return size;
    }
};

QString line(const char *label, const std::string &value) {
    return QString::fromLatin1(label) + QLatin1Char('\t') + QString::fromStdString(value);
}

/// The block of one account: news when it has a news server, else directory
/// when it has an LDAP server, else mail.
void appendBlock(QStringList &lines, const core::MailAccount &a) {
    if (!a.nntpServer.empty()) {
        lines << line("NNTP Type", a.nntpSignature) << line("NNTP Name", a.accountName)
              << line("NNTP User", a.nntpUserName) << line("NNTP Server", a.nntpServer)
              << line("NNTP Email", a.nntpEmailAddress)
              << line("NNTP ReplyTo", a.nntpReplyToEmailAddress);
    } else if (!a.ldapServer.empty()) {
        lines << line("Name", a.accountName) << line("LDAP Server", a.ldapServer)
              << line("LDAP Url", a.ldapUrl);
    } else {
        lines << line("SMTP Type", a.smtpSignature) << line("SMTP Name", a.accountName)
              << line("SMTP Server", a.smtpServer) << line("SMTP User", a.smtpUserName)
              << line("SMTP Email", a.smtpEmailAddress)
              << line("SMTP ReplyTo", a.smtpReplyToEmailAddress) << line("POP3 Name", a.accountName)
              << line("POP3 Server", a.pop3Server) << line("POP3 User", a.pop3UserName)
              << line("POP3 Email", a.pop3EmailAddress)
              << line("POP3 ReplyTo", a.pop3ReplyToEmailAddress);
    }
}

QLineEdit *field(const char *name, QWidget *parent) {
    auto *edit = new QLineEdit(parent);
    edit->setObjectName(QString::fromLatin1(name));
    return edit;
}

/// Checks or clears a button of an exclusive pair; clearing the checked one
/// needs the exclusivity lifted for a moment.
void setShown(QRadioButton *button, bool checked) {
    if (button->isChecked() == checked) {
        return;
    }
    button->setAutoExclusive(false);
    button->setChecked(checked);
    button->setAutoExclusive(true);
}

} // namespace

EmailDialog::EmailDialog(engine::Watchdog *watchdog, QWidget *parent)
    : QWidget(parent, Qt::Window), watchdog_(watchdog) {
    setObjectName(QStringLiteral("Form5"));
    setWindowTitle(QStringLiteral("E-mail Notification Setup"));
    ui::WindowRegistry::instance().add(this);

    auto *heading = new QLabel(QStringLiteral("E-Mail Setup"), this);
    QFont headingFont = heading->font();
    headingFont.setBold(true);
    headingFont.setPointSizeF(headingFont.pointSizeF() * 1.3);
    heading->setFont(headingFont);

    recipientsEdit_ = field("Text1", this);
    recipientsEdit_->setToolTip(QStringLiteral("Separate E-mail addresses with ;"));
    portEdit_ = field("Text2", this);
    fromEdit_ = field("Text3", this);
    serverEdit_ = field("Text4", this);
    // Room for a few addresses, an address and a server name.
    ui::showCharacters(recipientsEdit_, 60);
    ui::showCharacters(fromEdit_, 40);
    ui::showCharacters(serverEdit_, 40);
    serverEdit_->setToolTip(
        QStringLiteral("This information is found in the Internet Accounts Information"));
    userEdit_ = field("txtUser", this);
    userEdit_->setToolTip(QStringLiteral("Empty: the server is used without signing in"));
    ui::showCharacters(userEdit_, 40);
    passwordEdit_ = field("txtPassword", this);
    passwordEdit_->setEchoMode(QLineEdit::Password);
    passwordEdit_->setToolTip(
        QStringLiteral("Kept in the desktop keyring, or in mail-password beside the settings "
                       "where there is none; empty keeps the stored one"));
    passwordStored_ = new QLabel(QStringLiteral("(stored)"), this);
    passwordStored_->setObjectName(QStringLiteral("lblPasswordStored"));
    passwordStored_->hide();

    mailSwitchOn_ = new QRadioButton(QStringLiteral("Notification Enabled"), this);
    mailSwitchOn_->setObjectName(QStringLiteral("Option1"));
    mailSwitchOff_ = new QRadioButton(QStringLiteral("Notification Disabled"), this);
    mailSwitchOff_->setObjectName(QStringLiteral("Option2"));

    accountsList_ = new QListWidget(this);
    accountsList_->setObjectName(QStringLiteral("List1"));
    accountsList_->setItemDelegate(new TabStopDelegate(accountsList_));
    accountsList_->setMinimumWidth(TabStopDelegate::tabStop(accountsList_->fontMetrics()) * 2);

    saveButton_ = new QPushButton(QStringLiteral("&Save"), this);
    saveButton_->setObjectName(QStringLiteral("Command1"));
    saveButton_->setToolTip(QStringLiteral("Click here to save e-mail settings"));
    clearAllButton_ = new QPushButton(QStringLiteral("&Clear All"), this);
    clearAllButton_->setObjectName(QStringLiteral("Command2"));
    testButton_ = new QPushButton(QStringLiteral("Send &Test E-mail"), this);
    testButton_->setObjectName(QStringLiteral("cmdTestMail"));
    testButton_->setToolTip(
        QStringLiteral("Sends one short e-mail with the settings as they are typed here"));

    switchRefreshTimer_ = new engine::SwitchedTimer(QStringLiteral("Timer1"), 500, true, this);
    testMailer_ = watchdog_ ? &watchdog_->testMailer() : nullptr;
    // Without the engine there is nothing to send with.
    testButton_->setEnabled(testMailer_ != nullptr);

    auto *fields = new QGridLayout;
    auto addField = [&](int row, const char *label, QLineEdit *edit) {
        auto *caption = new QLabel(QString::fromLatin1(label), this);
        caption->setBuddy(edit);
        fields->addWidget(caption, row, 0);
        fields->addWidget(edit, row, 1);
    };
    addField(0, "Send to:", recipientsEdit_);
    addField(1, "Port Number", portEdit_);
    fields->addWidget(new QLabel(QStringLiteral("Typical Setting is 25"), this), 1, 2);
    addField(2, "From:", fromEdit_);
    addField(3, "SMTP Server", serverEdit_);
    addField(4, "User name", userEdit_);
    addField(5, "Password", passwordEdit_);
    fields->addWidget(passwordStored_, 5, 2);

    auto *options = new QHBoxLayout;
    options->addWidget(mailSwitchOn_);
    options->addWidget(mailSwitchOff_);
    options->addStretch();

    auto *buttons = new QHBoxLayout;
    buttons->addWidget(testButton_);
    buttons->addStretch();
    buttons->addWidget(saveButton_);
    buttons->addWidget(clearAllButton_);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(heading);
    layout->addLayout(fields);
    layout->addLayout(options);
    layout->addWidget(new QLabel(QStringLiteral("Internet Accounts Information"), this));
    layout->addWidget(accountsList_, 1);
    layout->addLayout(buttons);

    connect(mailSwitchOn_, &QRadioButton::clicked, this, [this] { writeSwitch(true); });
    connect(mailSwitchOff_, &QRadioButton::clicked, this, [this] { writeSwitch(false); });
    connect(saveButton_, &QPushButton::clicked, this, &EmailDialog::save);
    connect(clearAllButton_, &QPushButton::clicked, this, &EmailDialog::clearAll);
    connect(testButton_, &QPushButton::clicked, this, &EmailDialog::sendTestMail);
    connect(switchRefreshTimer_, &QTimer::timeout, this, &EmailDialog::showStoredSwitch);

    const auto stored = settings::Stored::read();
    recipientsEdit_->setText(stored.text(settings::Key::MailTo));
    portEdit_->setText(stored.text(settings::Key::MailPort));
    fromEdit_->setText(stored.text(settings::Key::MailFrom));
    serverEdit_->setText(stored.text(settings::Key::MailServer));
    userEdit_->setText(stored.text(settings::Key::MailUser));
    showPasswordStored();
    // The option buttons wait for the first timer tick.
    if (watchdog_) {
        watchdog_->setMailSwitch(stored.text(settings::Key::MailSwitch));
    }
    accountsList_->addItems(accountLines(core::readCurrentUserMailAccounts()));
    ui::fitDialog(this);
}

QStringList EmailDialog::accountLines(const std::optional<core::MailAccountStore> &store) {
    if (!store) {
        return {};
    }
    QStringList lines;
    lines << line("Default Mail account", store->defaults.mail)
          << line("Default News account", store->defaults.news)
          << line("Default LDAP account", store->defaults.ldap) << QString();
    for (const auto &account : store->accounts) {
        lines << QStringLiteral("Account  ") + QString::fromStdString(account.id);
        appendBlock(lines, account);
        lines << QString();
    }
    return lines;
}

void EmailDialog::save() {
    if (settings::Stored::read().flag(settings::Key::MailSwitch) && fromEdit_->text().isEmpty()) {
        ui::message(this, QStringLiteral("Please enter E-mail address."));
    } else {
        settings::Save changes;
        changes.set(settings::Key::MailTo, recipientsEdit_->text())
            .set(settings::Key::MailPort, portEdit_->text())
            .set(settings::Key::MailFrom, fromEdit_->text())
            .set(settings::Key::MailServer, serverEdit_->text());
        // Without sign-in the file stays as earlier versions wrote it.
        if (userEdit_->text() != settings::text(settings::Key::MailUser)) {
            changes.set(settings::Key::MailUser, userEdit_->text());
        }
        if (!dialogs::save(this, changes)) {
            return; // the error said it all; a reminder now would read as a success
        }
        storePassword();
    }
    if (!serverEdit_->text().isEmpty()) {
        ui::message(this,
                    QStringLiteral("Please make sure that you enabled e-mail notification before "
                                   "leaving this screen!"),
                    QStringLiteral("Tenacor Reminder"), QMessageBox::Warning);
    }
}

void EmailDialog::clearAll() {
    serverEdit_->clear();
    recipientsEdit_->clear();
    fromEdit_->clear();
}

void EmailDialog::writeSwitch(bool on) {
    if (!dialogs::save(this, settings::Save().setFlag(settings::Key::MailSwitch, on))) {
        showStoredSwitch(); // the buttons go back to what is really stored
    }
}

void EmailDialog::showStoredSwitch() {
    const QString stored = settings::text(settings::Key::MailSwitch);
    setShown(mailSwitchOn_, stored == settings::word(settings::Key::MailSwitch, true));
    setShown(mailSwitchOff_, stored == settings::word(settings::Key::MailSwitch, false));
}

void EmailDialog::storePassword() {
    const QString password = passwordEdit_->text();
    if (password.isEmpty()) {
        showPasswordStored(); // the stored one stays; it may belong to other fields now
        return;
    }
    if (userEdit_->text().isEmpty()) {
        ui::message(this, QStringLiteral("The password is not stored: there is no user name."),
                    ui::programTitle(), QMessageBox::Warning);
        return;
    }
    passwordEdit_->clear();
    engine::storeMailPassword(serverEdit_->text().trimmed(), userEdit_->text(), password, this,
                              [this](const QString &problem) {
                                  if (!problem.isEmpty()) {
                                      ui::message(this, problem, ui::programTitle(),
                                                  QMessageBox::Warning);
                                  }
                                  showPasswordStored();
                              });
}

void EmailDialog::showPasswordStored() {
    const QString server = serverEdit_->text().trimmed();
    const QString user = userEdit_->text();
    if (user.isEmpty()) {
        passwordStored_->hide();
        return;
    }
    engine::lookUpMailPassword(
        server, user, this,
        [this, server, user](const std::optional<QString> &password, const QString &) {
            // Answers for fields that changed meanwhile are stale.
            if (server == serverEdit_->text().trimmed() && user == userEdit_->text()) {
                passwordStored_->setVisible(password.has_value());
            }
        });
}

void EmailDialog::sendTestMail() {
    testButton_->setEnabled(false);
    const engine::MailSettings mail{
        recipientsEdit_->text(), portEdit_->text(), fromEdit_->text(),
        serverEdit_->text(),     userEdit_->text(), settings::text(settings::Key::MailCaFile)};
    // A password not typed is looked up.
    const QString typed = passwordEdit_->text();
    // The window may be closed before the server answers; the mailer stays.
    const QPointer<EmailDialog> self(this);
    testMailer_->sendTestMail(mail, typed.isEmpty() ? std::nullopt : std::optional<QString>(typed),
                              [self](bool accepted, const QString &outcome) {
                                  if (!self) {
                                      return;
                                  }
                                  self->testButton_->setEnabled(true);
                                  ui::message(self, outcome, ui::programTitle(),
                                              accepted ? QMessageBox::Information
                                                       : QMessageBox::Warning);
                              });
}
