#pragma once

#include "engine/event_stream.h"

#include <QList>
#include <QPair>
#include <QString>
#include <QWidget>
#include <optional>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace engine {
class Watchdog;
struct WebhookSettings;
} // namespace engine

/// AlertChannels: the webhook and the desktop notifications, their events and
/// a test of each.
class AlertChannelsDialog : public QWidget {
    Q_OBJECT

public:
    /// Loads the channels' keys; `watchdog` is the running engine, none in a
    /// window tested alone (the tests are then off).
    explicit AlertChannelsDialog(engine::Watchdog *watchdog = nullptr, QWidget *parent = nullptr);

    /// Writes every key in one save and stores a typed token apart, then has
    /// the engine read them. Refused, with nothing written, for an address
    /// that is not http or https or a channel with no event ticked.
    bool save();
    /// Posts one test alert with the fields as they stand; a token not typed
    /// is looked up.
    void testWebhook();
    void testNotify();
    /// Empties the stored token.
    void removeToken();

    /// Why `url` cannot be posted to; empty when it can (or is empty: no webhook).
    static QString urlProblem(const QString &url);

private:
    using EventBoxes = QList<QPair<engine::Event::Kind, QCheckBox *>>;

    EventBoxes addEventBoxes(const QString &prefix);
    static void showEvents(const EventBoxes &boxes, const QString &list);
    /// The ticked names, separated by commas; empty when all are ticked (the
    /// default list) and nullopt when none is.
    static std::optional<QString> eventList(const EventBoxes &boxes);
    void storeToken(const QString &token);
    void showTokenStored();
    void showTestAnswer(QLabel *label, QPushButton *button, bool ok, const QString &text);
    void postTest(const engine::WebhookSettings &settings);

    QLineEdit *urlEdit_ = nullptr;
    QComboBox *formatBox_ = nullptr;
    QLineEdit *caFileEdit_ = nullptr;
    QPushButton *browseButton_ = nullptr;
    QLineEdit *tokenEdit_ = nullptr;
    QLabel *tokenStored_ = nullptr;
    QPushButton *removeTokenButton_ = nullptr;
    EventBoxes webhookEvents_;
    QPushButton *testWebhookButton_ = nullptr;
    QLabel *webhookAnswer_ = nullptr;

    QCheckBox *notifyBox_ = nullptr;
    EventBoxes notifyEvents_;
    QPushButton *testNotifyButton_ = nullptr;
    QLabel *notifyAnswer_ = nullptr;

    QPushButton *saveButton_ = nullptr;
    QPushButton *cancelButton_ = nullptr;
    engine::Watchdog *watchdog_ = nullptr;
};
