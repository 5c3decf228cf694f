#include "dialogs/alert_channels_dialog.h"

#include "dialogs/dialog_parts.h"
#include "dialogs/save_settings.h"
#include "engine/alert_events.h"
#include "engine/desktop_notifier.h"
#include "engine/settings.h"
#include "engine/watchdog.h"
#include "engine/webhook.h"
#include "engine/webhook_token.h"
#include "ui/file_picker.h"
#include "ui/message_box.h"
#include "ui/window_fit.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <vector>

using dialogs::named;
using Kind = engine::Event::Kind;

namespace {

/// The kinds a channel can send, in the event stream's order: each failure
/// beside its recovery.
std::vector<Kind> channelKinds() {
    const auto kinds = engine::defaultAlertKinds();
    std::vector<Kind> ordered(kinds.begin(), kinds.end());
    std::sort(ordered.begin(), ordered.end());
    return ordered;
}

/// A long answer wraps rather than widening the window.
void showAnswer(QLabel *label, const QString &text) {
    label->setWordWrap(true);
    label->setText(text);
}

} // namespace

AlertChannelsDialog::AlertChannelsDialog(engine::Watchdog *watchdog, QWidget *parent)
    : QWidget(parent, Qt::Window), watchdog_(watchdog) {
    dialogs::setUpWindow(this, QStringLiteral("AlertChannels"), QStringLiteral("Alert Channels"));

    urlEdit_ = named<QLineEdit>(QStringLiteral("txtWebhookUrl"), this);
    urlEdit_->setPlaceholderText(QStringLiteral("https://ntfy.example.com/alerts"));
    urlEdit_->setToolTip(QStringLiteral("Every alert chosen below is posted here; empty: none"));
    ui::showCharacters(urlEdit_, 50);
    formatBox_ = named<QComboBox>(QStringLiteral("cboWebhookFormat"), this);
    formatBox_->addItems({QStringLiteral("json"), QStringLiteral("ntfy"), QStringLiteral("slack"),
                          QStringLiteral("gotify")});
    formatBox_->setToolTip(QStringLiteral("The body the receiver expects"));
    caFileEdit_ = named<QLineEdit>(QStringLiteral("txtWebhookCaFile"), this);
    caFileEdit_->setToolTip(
        QStringLiteral("A PEM file of certificate authorities trusted beside the system's"));
    ui::showCharacters(caFileEdit_, 40);
    browseButton_ =
        named<QPushButton>(QStringLiteral("cmdBrowseCaFile"), QStringLiteral("&Browse"), this);
    tokenEdit_ = named<QLineEdit>(QStringLiteral("txtWebhookToken"), this);
    tokenEdit_->setEchoMode(QLineEdit::Password);
    tokenEdit_->setPlaceholderText(QStringLiteral("Empty: a stored token is kept"));
    tokenEdit_->setToolTip(QStringLiteral("Sent as \"Authorization: Bearer\"; kept in the desktop "
                                          "keyring, or in webhook-token beside the settings where "
                                          "there is none, never in settings.ini"));
    tokenStored_ =
        named<QLabel>(QStringLiteral("lblTokenStored"), QStringLiteral("(stored)"), this);
    tokenStored_->hide();
    removeTokenButton_ = named<QPushButton>(QStringLiteral("cmdRemoveToken"),
                                            QStringLiteral("&Remove Stored Token"), this);
    removeTokenButton_->setEnabled(false);
    testWebhookButton_ =
        named<QPushButton>(QStringLiteral("cmdTestWebhook"), QStringLiteral("Send &Test"), this);
    testWebhookButton_->setToolTip(
        QStringLiteral("Posts one test alert with the settings as they are typed here"));
    webhookAnswer_ = named<QLabel>(QStringLiteral("lblWebhookTest"), this);

    notifyBox_ = named<QCheckBox>(QStringLiteral("chkNotify"),
                                  QStringLiteral("Show &desktop notifications"), this);
    testNotifyButton_ =
        named<QPushButton>(QStringLiteral("cmdTestNotify"), QStringLiteral("Send T&est"), this);
    notifyAnswer_ = named<QLabel>(QStringLiteral("lblNotifyTest"), this);

    saveButton_ = named<QPushButton>(QStringLiteral("cmdSave"), QStringLiteral("&Save"), this);
    cancelButton_ = named<QPushButton>(QStringLiteral("cmdCancel"), QStringLiteral("Cancel"), this);
    // Without the engine there is nothing to send with.
    testWebhookButton_->setEnabled(watchdog_ != nullptr);
    testNotifyButton_->setEnabled(watchdog_ != nullptr);

    auto *webhook = named<QGroupBox>(QStringLiteral("fraWebhook"), QStringLiteral("Webhook"), this);
    auto *fields = new QGridLayout;
    auto addRow = [&](int row, const QString &caption, QWidget *field) {
        auto *label = new QLabel(caption, webhook);
        label->setBuddy(field);
        fields->addWidget(label, row, 0);
        fields->addWidget(field, row, 1);
    };
    addRow(0, QStringLiteral("&Address"), urlEdit_);
    addRow(1, QStringLiteral("&Format"), formatBox_);
    addRow(2, QStringLiteral("&CA file"), caFileEdit_);
    fields->addWidget(browseButton_, 2, 2);
    addRow(3, QStringLiteral("T&oken"), tokenEdit_);
    fields->addWidget(tokenStored_, 3, 2);
    fields->addWidget(removeTokenButton_, 4, 1, Qt::AlignLeft);
    auto *webhookLayout = new QVBoxLayout(webhook);
    webhookLayout->addLayout(fields);
    webhookEvents_ = addEventBoxes(QStringLiteral("chkWebhook_"));
    auto *webhookEventsGrid = new QGridLayout;
    for (int i = 0; i < webhookEvents_.size(); ++i) {
        webhookEventsGrid->addWidget(webhookEvents_[i].second, i / 2, i % 2);
    }
    webhookLayout->addWidget(new QLabel(QStringLiteral("Events posted:"), webhook));
    webhookLayout->addLayout(webhookEventsGrid);
    auto *webhookTest = new QHBoxLayout;
    webhookTest->addWidget(testWebhookButton_);
    webhookTest->addWidget(webhookAnswer_, 1);
    webhookLayout->addLayout(webhookTest);

    auto *notify = named<QGroupBox>(QStringLiteral("fraNotify"),
                                    QStringLiteral("Desktop Notifications"), this);
    auto *notifyLayout = new QVBoxLayout(notify);
    notifyLayout->addWidget(notifyBox_);
    notifyEvents_ = addEventBoxes(QStringLiteral("chkNotify_"));
    auto *notifyEventsGrid = new QGridLayout;
    for (int i = 0; i < notifyEvents_.size(); ++i) {
        notifyEventsGrid->addWidget(notifyEvents_[i].second, i / 2, i % 2);
    }
    notifyLayout->addWidget(new QLabel(QStringLiteral("Events shown:"), notify));
    notifyLayout->addLayout(notifyEventsGrid);
    auto *notifyTest = new QHBoxLayout;
    notifyTest->addWidget(testNotifyButton_);
    notifyTest->addWidget(notifyAnswer_, 1);
    notifyLayout->addLayout(notifyTest);

    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(saveButton_);
    buttons->addWidget(cancelButton_);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(webhook);
    layout->addWidget(notify);
    layout->addLayout(buttons);

    connect(browseButton_, &QPushButton::clicked, this, [this] {
        ui::PickRequest request;
        request.filters =
            ui::filtersFromPairs(QStringLiteral("Certificates|*.pem *.crt|All Files|*.*"));
        const auto picked = ui::filePicker().openFile(this, request);
        if (picked.status == ui::PickResult::Status::Chosen) {
            caFileEdit_->setText(picked.path);
        }
    });
    connect(removeTokenButton_, &QPushButton::clicked, this, &AlertChannelsDialog::removeToken);
    connect(testWebhookButton_, &QPushButton::clicked, this, &AlertChannelsDialog::testWebhook);
    connect(testNotifyButton_, &QPushButton::clicked, this, &AlertChannelsDialog::testNotify);
    connect(saveButton_, &QPushButton::clicked, this, &AlertChannelsDialog::save);
    connect(cancelButton_, &QPushButton::clicked, this, &QWidget::close);

    const auto stored = settings::Stored::read();
    urlEdit_->setText(stored.text(settings::Key::WebhookUrl));
    // An unknown format is sent as json, so it shows as json.
    const auto format = engine::webhookFormat(stored.text(settings::Key::WebhookFormat));
    formatBox_->setCurrentIndex(static_cast<int>(format.value_or(engine::WebhookFormat::Json)));
    caFileEdit_->setText(stored.text(settings::Key::WebhookCaFile));
    showEvents(webhookEvents_, stored.text(settings::Key::WebhookEvents));
    notifyBox_->setChecked(stored.flag(settings::Key::NotifyOn));
    showEvents(notifyEvents_, stored.text(settings::Key::NotifyEvents));
    showTokenStored();
    ui::fitDialog(this);
}

AlertChannelsDialog::EventBoxes AlertChannelsDialog::addEventBoxes(const QString &prefix) {
    EventBoxes boxes;
    for (const Kind kind : channelKinds()) {
        const QString name = engine::alertKindName(kind);
        QString objectName = prefix + name;
        objectName.replace(QLatin1Char(' '), QLatin1Char('_'));
        boxes.append({kind, named<QCheckBox>(objectName, name, this)});
    }
    return boxes;
}

void AlertChannelsDialog::showEvents(const EventBoxes &boxes, const QString &list) {
    QStringList unknown; // the engine logs them; they cannot be ticked
    const auto kinds = engine::alertKinds(list, unknown);
    for (const auto &[kind, box] : boxes) {
        box->setChecked(kinds.contains(kind));
    }
}

std::optional<QString> AlertChannelsDialog::eventList(const EventBoxes &boxes) {
    QStringList names;
    for (const auto &[kind, box] : boxes) {
        if (box->isChecked()) {
            names << engine::alertKindName(kind);
        }
    }
    if (names.isEmpty()) {
        return std::nullopt; // an empty list would mean every event
    }
    // All of them: the default list, which also takes kinds added later.
    return names.size() == boxes.size() ? QString() : names.join(QStringLiteral(", "));
}

QString AlertChannelsDialog::urlProblem(const QString &url) {
    if (url.trimmed().isEmpty()) {
        return {};
    }
    const QUrl parsed(url.trimmed(), QUrl::StrictMode);
    const QString scheme = parsed.scheme();
    if (!parsed.isValid() ||
        (scheme != QLatin1String("http") && scheme != QLatin1String("https")) ||
        parsed.host().isEmpty()) {
        return QStringLiteral("The webhook address must be an http:// or https:// address, such "
                              "as https://ntfy.example.com/alerts.");
    }
    return {};
}

bool AlertChannelsDialog::save() {
    const QString url = urlEdit_->text().trimmed();
    if (const QString problem = urlProblem(url); !problem.isEmpty()) {
        ui::message(this, problem, ui::programTitle(), QMessageBox::Warning);
        urlEdit_->setFocus();
        return false;
    }
    const auto webhookEvents = eventList(webhookEvents_);
    const auto notifyEvents = eventList(notifyEvents_);
    if (!webhookEvents || !notifyEvents) {
        ui::message(this,
                    QStringLiteral("Tick at least one event for each channel. To send nothing, "
                                   "empty the webhook address or switch the notifications off."),
                    ui::programTitle(), QMessageBox::Warning);
        return false;
    }
    settings::Save changes;
    changes.set(settings::Key::WebhookUrl, url)
        .set(settings::Key::WebhookFormat, formatBox_->currentText())
        .set(settings::Key::WebhookCaFile, caFileEdit_->text().trimmed())
        .set(settings::Key::WebhookEvents, *webhookEvents)
        .setFlag(settings::Key::NotifyOn, notifyBox_->isChecked())
        .set(settings::Key::NotifyEvents, *notifyEvents);
    if (!dialogs::save(this, changes)) {
        return false; // a typed token waits for a save that works
    }
    if (watchdog_) {
        watchdog_->reload();
    }
    // Blanks alone are no token: stored, they would remove the one there is.
    if (!tokenEdit_->text().trimmed().isEmpty()) {
        storeToken(tokenEdit_->text());
        tokenEdit_->clear();
    }
    return true;
}

void AlertChannelsDialog::removeToken() {
    storeToken(QString());
}

void AlertChannelsDialog::storeToken(const QString &token) {
    removeTokenButton_->setEnabled(false);
    // The engine takes the new token even when the window is closed first.
    QObject *context = watchdog_ ? static_cast<QObject *>(watchdog_) : this;
    const QPointer<AlertChannelsDialog> self(this);
    engine::Watchdog *watchdog = watchdog_;
    engine::storeWebhookToken(token, context, [self, watchdog](const QString &problem) {
        if (problem.isEmpty() && watchdog) {
            watchdog->reloadWebhookToken();
        }
        if (!self) {
            return;
        }
        if (!problem.isEmpty()) {
            ui::message(self, problem, ui::programTitle(), QMessageBox::Warning);
        }
        self->showTokenStored();
    });
}

void AlertChannelsDialog::showTokenStored() {
    engine::lookUpWebhookToken(this, [this](const std::optional<QString> &token, const QString &) {
        tokenStored_->setVisible(token.has_value());
        removeTokenButton_->setEnabled(token.has_value());
    });
}

void AlertChannelsDialog::showTestAnswer(QLabel *label, QPushButton *button, bool ok,
                                         const QString &text) {
    button->setEnabled(true);
    label->setStyleSheet(ok ? QString() : QStringLiteral("color: #b00020"));
    showAnswer(label, text);
}

void AlertChannelsDialog::testWebhook() {
    const QString url = urlEdit_->text().trimmed();
    QString problem = urlProblem(url);
    if (url.isEmpty()) {
        problem = QStringLiteral("Type the webhook address first.");
    }
    if (!problem.isEmpty()) {
        showTestAnswer(webhookAnswer_, testWebhookButton_, false, problem);
        return;
    }
    engine::WebhookSettings settings;
    settings.url = url;
    settings.format =
        engine::webhookFormat(formatBox_->currentText()).value_or(engine::WebhookFormat::Json);
    settings.caFile = caFileEdit_->text().trimmed();
    settings.token = tokenEdit_->text().trimmed();
    testWebhookButton_->setEnabled(false);
    showAnswer(webhookAnswer_, QStringLiteral("Sending…"));
    webhookAnswer_->setStyleSheet(QString());
    if (!settings.token.isEmpty()) {
        postTest(settings);
        return;
    }
    engine::lookUpWebhookToken(this, [this, settings](const std::optional<QString> &token,
                                                      const QString &problem) mutable {
        if (!problem.isEmpty()) {
            // Sent without it, the answer would blame the receiver.
            showTestAnswer(webhookAnswer_, testWebhookButton_, false,
                           QStringLiteral("The stored token cannot be read: ") + problem);
            return;
        }
        settings.token = token.value_or(QString());
        postTest(settings);
    });
}

void AlertChannelsDialog::postTest(const engine::WebhookSettings &settings) {
    // The window may be closed before the receiver answers; the sender stays.
    const QPointer<AlertChannelsDialog> self(this);
    watchdog_->webhook().sendTest(settings, [self](bool ok, const QString &text) {
        if (self) {
            self->showTestAnswer(self->webhookAnswer_, self->testWebhookButton_, ok, text);
        }
    });
}

void AlertChannelsDialog::testNotify() {
    testNotifyButton_->setEnabled(false);
    showAnswer(notifyAnswer_, QStringLiteral("Sending…"));
    notifyAnswer_->setStyleSheet(QString());
    const QPointer<AlertChannelsDialog> self(this);
    watchdog_->notifier().sendTest([self](bool ok, const QString &text) {
        if (self) {
            self->showTestAnswer(self->notifyAnswer_, self->testNotifyButton_, ok, text);
        }
    });
}
