#pragma once

#include "core/mail_accounts.h"
#include "engine/switched_timer.h"

#include <QStringList>
#include <QWidget>
#include <optional>

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QRadioButton;

namespace engine {
class Mailer;
class Watchdog;
} // namespace engine

/// Form5: the e-mail notification settings, with the user's mail accounts
/// listed beside them for reference.
class EmailDialog : public QWidget {
    Q_OBJECT

public:
    /// Loads the four fields, passes the stored switch to the main window and
    /// lists the current user's accounts.
    /// `watchdog` is the running engine; none in a window tested alone.
    explicit EmailDialog(engine::Watchdog *watchdog = nullptr, QWidget *parent = nullptr);

    /// Writes the four fields unless the switch is on without a From address,
    /// then reminds of the switch when a server is set.
    void save();
    /// Empties the recipients, From and server fields; the port stays.
    void clearAll();
    /// Sends one test e-mail with the fields as they stand (a password not
    /// typed is looked up) and says what became of it.
    void sendTestMail();

    /// The lines of the account list for what the mail client holds: the three
    /// defaults and an empty line, then per account a header, its block and an
    /// empty line. No store: no lines.
    static QStringList accountLines(const std::optional<core::MailAccountStore> &store);

private:
    void writeSwitch(bool on);
    void showStoredSwitch();
    void storePassword();
    /// Marks the password as "(stored)" when one is stored for the fields'
    /// server and user.
    void showPasswordStored();

    QLineEdit *recipientsEdit_ = nullptr;
    QLineEdit *portEdit_ = nullptr;
    QLineEdit *fromEdit_ = nullptr;
    QLineEdit *serverEdit_ = nullptr;
    QLineEdit *userEdit_ = nullptr;
    QLineEdit *passwordEdit_ = nullptr;
    QLabel *passwordStored_ = nullptr;
    QRadioButton *mailSwitchOn_ = nullptr;
    QRadioButton *mailSwitchOff_ = nullptr;
    QListWidget *accountsList_ = nullptr;
    QPushButton *saveButton_ = nullptr;
    QPushButton *clearAllButton_ = nullptr;
    QPushButton *testButton_ = nullptr;
    engine::SwitchedTimer *switchRefreshTimer_ = nullptr;
    engine::Watchdog *watchdog_ = nullptr;
    /// The engine's mailer for test e-mails: apart from the alerts' line, so
    /// nobody waits behind them.
    engine::Mailer *testMailer_ = nullptr;
};
