#pragma once
// The check of one slot: is its program running, and if not, start it again and
// hand the restart to the log, the command-line action, the alarms and the mail.

#include <QObject>
#include <QString>
#include <functional>

class Form1;

class WatchCycle : public QObject {
    Q_OBJECT

public:
    explicit WatchCycle(Form1 &form);

    /// One tick of slot N (1 to 8). Every step of a restart (command-line
    /// action, alarms, popup, log entry, e-mail) runs whatever the others did:
    /// a log that cannot be written is skipped and silences nothing else.
    void tick(int slot);

    /// Where the tick hands what other parts of the window do: slot 1's program
    /// on every tick of slot 1 (the setup dialog's field), the restart popup and
    /// the restart e-mail (each: slot, whether the start failed).
    struct Hooks {
        std::function<void(const QString &)> slotOneProgram;
        std::function<void(int, bool)> showPopup;
        std::function<void(int, bool)> sendMail;
    };
    Hooks &hooks() { return hooks_; }

    /// The 54-asterisk row, and the 53-asterisk row of slots 2 to 8.
    static QString longRow();
    static QString shortRow();

private:
    /// Runs the slot's command-line action and writes its entry.
    void runCommandLineAction(int slot);

    Form1 &form_;
    Hooks hooks_;
};
