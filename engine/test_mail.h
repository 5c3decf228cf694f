#pragma once
// The e-mail window's test: one short message with the settings as they are
// typed, and what became of it in one sentence.

#include "engine/restart_mail.h"

#include <QObject>
#include <QString>

namespace smtp {
class Session;
}

namespace engine {

class TestMail : public QObject {
    Q_OBJECT

public:
    /// Longest wait for any one answer of the server: someone is waiting.
    static constexpr int ReplyTimeoutMs = 20000;

    explicit TestMail(QObject *parent = nullptr);

    /// Sends the test message; finished() follows once, later. `password` is
    /// used only when settings.user is set.
    void start(const MailSettings &settings, const QString &password);

    static QString body() {
        return QStringLiteral("This is a test e-mail from Perstando. Restart e-mails will "
                              "reach you the same way.");
    }

signals:
    /// "The test e-mail was accepted by <server>.", or why it was not.
    void finished(bool accepted, const QString &outcome);

private:
    void finish(bool accepted, const QString &outcome);

    smtp::Session *session_ = nullptr;
    bool done_ = false;
};

} // namespace engine
