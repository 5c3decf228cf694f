#pragma once
// The log file as the program writes it: every entry is built here, each
// appended whole or not at all.

#include <QString>
#include <QStringList>

namespace engine {

struct Event;

class LogWriter {
public:
    void setPath(const QString &path) { path_ = path; }
    const QString &path() const { return path_; }

    /// Appends one entry; false when it could not be written (no path, a
    /// missing folder, not a regular file, a full disk).
    bool append(const QStringList &lines) const;

    /// The entry of an event, for the kinds the log records; false when it
    /// could not be written.
    bool write(const Event &event) const;

    /// "<date and time>, <text>" on one line: start, run-at-start changes.
    bool note(const QString &text) const;
    /// An event between two rows of asterisks: "<date and time><text>". Slot 1's
    /// restart, its command lines, the connection and the mail use the 54-asterisk
    /// row; the restarts of slots 2 to 8 the 53-asterisk one.
    enum class Row { Long, Short };
    bool event(const QString &text, Row row = Row::Long) const;
    /// The restart entry of a slot: "<date and time>,<name> has been restarted."
    /// or "... could not be restarted.".
    bool restart(int slot, const QString &name, bool failed) const;
    /// "<date and time>,<sentence>" (giveUpSentence), between the slot's rows.
    bool giveUp(int slot, const QString &sentence) const;
    /// "<date and time>,<name> is watched again.", between the slot's rows.
    bool watchedAgain(int slot, const QString &name) const;

    /// "<name> ended N times in M minutes and is no longer restarted.", or
    /// "<name> could not be started N times ..." when none of the starts
    /// succeeded; "1 minute" for one. The give-up entry, popup and e-mail say
    /// the same.
    static QString giveUpSentence(const QString &name, int restarts, int minutes, bool noneStarted);
    /// "<date and time>,<name> is not responding.", between the slot's rows.
    bool notResponding(int slot, const QString &name) const;
    /// "<name> is not healthy: <reason>.", for the log, the popup and the e-mail.
    static QString unhealthySentence(const QString &name, const QString &reason);

    static QString row(Row row);
    /// The lines of an event entry, for writers that log through another path.
    static QStringList eventLines(const QString &text, Row row = Row::Long);

private:
    /// Slot 1's entries use the long row, the other slots' the short one.
    bool slotEvent(int slot, const QString &text) const;

    QString path_;
};

} // namespace engine
