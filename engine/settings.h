#pragma once
// The settings file as the program uses it: every key by its role (the schema
// in settings_schema.cpp is the only place that spells sections, keys and the
// words stored for on and off, and gives each key its type and default), a
// typed snapshot read with one read of the file, and saves that replace the
// file once.

#include "core/file_stamp.h"

#include <QString>
#include <array>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace settings {

/// Number of watched applications.
inline constexpr int SlotCount = 8;

/// Every key the program reads or writes. The first thirty exist once per slot.
enum class Key {
    SlotName,
    SlotProgram,
    SlotInterval,
    SlotFolder,
    SlotCommand,
    SlotCommandSwitch,
    SlotImmediate,
    SlotGiveUp,
    SlotGiveUpMinutes,
    SlotBackoff,
    SlotHangSeconds,
    SlotHangAction,
    SlotHealth,
    SlotHealthSeconds,
    SlotHealthTimeout,
    SlotHealthFailures,
    SlotHealthGrace,
    SlotHealthAction,
    SlotHealthText,
    SlotHealthCaFile,
    SlotMaxMemory,
    SlotMaxCpu,
    SlotLimitChecks,
    SlotLimitAction,
    SlotArguments,
    SlotEnvironment,
    SlotOutput,
    SlotOutputKb,
    SlotOutputFiles,
    SlotCleanExit,
    LogPath,
    MailTo,
    MailPort,
    MailFrom,
    MailServer,
    MailSwitch,
    MailMinutes,
    MailUser,
    MailCaFile,
    VisualAlarm,
    PopupAlarm,
    AudioAlarm,
    InternetWatch,
    InternetRestart,
    InternetRestartName,
    KeepUp,
    StartInTray,
    WebhookUrl,
    WebhookFormat,
    WebhookCaFile,
    WebhookEvents,
    MailRecovery,
    NotifyOn,
    NotifyEvents,
    MetricsListen,
    HeartbeatUrl,
    HeartbeatSeconds,
    HeartbeatMethod,
};

/// How a key's stored text is read; the schema gives each key one.
enum class Type {
    Text,        ///< any text, used as stored
    Path,        ///< a program, folder or file path, used as stored
    Switch,      ///< on only for exactly its word, "On"; written "On" or "Off"
    YesNo,       ///< on only for exactly "Yes"; written "Yes" or "No"
    Action,      ///< on only for exactly its word; off is written as nothing
    Interval,    ///< milliseconds, a number in the user's locale; else none
    WholeNumber, ///< digits only; anything else counts as the key's default
    Seconds,     ///< a whole number above 0; anything else is off
};

Type type(Key key);
/// The word `key` (a Switch, YesNo or Action) is stored as when on or off.
QString word(Key key, bool on);
/// Whether `text`, stored under `key`, means on: only its exact word does
/// ("on" is off for a switch).
bool isOn(Key key, const QString &text);
/// What a WholeNumber key counts as when it is missing or no whole number.
int defaultNumber(Key key);

/// The stored text of `key` (of `slot`, 1 to 8, for a per-slot key), read on
/// its own: one read of the file. "" when missing or unreadable.
QString text(Key key, int slot = 0);

/// The file read once, for the windows that show what is stored.
class Stored {
public:
    /// Reads the settings file of the program folder.
    static Stored read();
    QString text(Key key, int slot = 0) const;
    /// A Switch, YesNo or Action key: on only for its exact word.
    bool flag(Key key, int slot = 0) const;
    /// A number key as its type reads it: an Interval or Seconds key has none
    /// when its text gives none; a WholeNumber key always has one, its default
    /// when the text is no whole number.
    std::optional<int> number(Key key, int slot = 0) const;
    /// "The settings file <path> cannot be read: <reason>", or "" when it could
    /// be read or is missing (a missing file reads as empty).
    const QString &problem() const { return problem_; }

private:
    struct Data;
    std::shared_ptr<const Data> data_;
    QString problem_;
};

/// The settings file as it is now, for what is asked on every check: kept as
/// last read, and read again only when a stat says the file changed (an
/// atomic replace, a rewrite in place, a link pointed elsewhere) or was
/// changed too recently to tell. An unchanged file costs a stat, not a read.
class Reader {
public:
    const Stored &current();

private:
    core::FileStamp stamp_;
    Stored stored_;
};

struct Slot {
    QString name;
    QString workingDirectory;
    QString commandLine;
    bool commandLineOn = false;
    /// Restarted the moment its process ends, not on the next check.
    bool immediate = false;
    /// The program as stored; a check asks the file as it is then (Reader),
    /// this only tells that the slot's settings changed.
    QString program;
    /// Restarts within giveUpMinutes after which a slot whose program is gone
    /// again is no longer restarted; 0 never gives up.
    int giveUpRestarts = defaultNumber(Key::SlotGiveUp);
    int giveUpMinutes = defaultNumber(Key::SlotGiveUpMinutes);
    /// The longest wait before a start after quick deaths, in seconds; 0 is off.
    int backoffSeconds = defaultNumber(Key::SlotBackoff);
    /// Seconds a window of the program may leave a ping unanswered before it
    /// counts as not responding; nullopt: never judged.
    std::optional<int> hangSeconds;
    /// A program that is not responding is ended, and the check restarts it.
    bool restartWhenHung = false;
    /// The check interval in ms; nullopt when the text is no number a timer
    /// takes, and the interval in use then stays.
    std::optional<int> intervalMs;
    /// The health probe as stored (a URL, "file:PATH" or a command line);
    /// empty: no probe.
    QString health;
    int healthSeconds = defaultNumber(Key::SlotHealthSeconds);
    int healthTimeout = defaultNumber(Key::SlotHealthTimeout);
    int healthFailures = defaultNumber(Key::SlotHealthFailures);
    int healthGrace = defaultNumber(Key::SlotHealthGrace);
    /// An unhealthy program is stopped, and the check restarts it.
    bool restartWhenUnhealthy = false;
    /// Text an HTTP answer must hold to count as healthy; empty: any.
    QString healthText;
    /// A PEM file of authorities an HTTPS probe trusts beside the system's.
    QString healthCaFile;
    /// Resident MiB of the program and its descendants; 0 is no limit.
    int maxMemoryMiB = defaultNumber(Key::SlotMaxMemory);
    /// Percent of one core over a check interval; 0 is no limit.
    int maxCpuPercent = defaultNumber(Key::SlotMaxCpu);
    int limitChecks = defaultNumber(Key::SlotLimitChecks);
    /// A program over its limit is stopped, and the check restarts it.
    bool restartWhenOverLimit = false;
    /// The program's arguments, split like a command line, never by a shell.
    QString arguments;
    /// A file of NAME=value lines added to the program's environment; empty: none.
    QString environmentFile;
    /// The file the program's stdout and stderr are appended to; empty: not kept.
    QString outputFile;
    /// The output file's size in KiB before it is rotated, and how many files are kept.
    int outputKb = defaultNumber(Key::SlotOutputKb);
    int outputFiles = defaultNumber(Key::SlotOutputFiles);
    /// A program Perstando started that exits with status 0 was closed on
    /// purpose: it is not started again until it is found running.
    bool stopOnCleanExit = false;

    bool operator==(const Slot &) const = default;
};

struct Mail {
    QString sendTo; ///< recipients, separated by ";"
    QString port;   ///< text; converted when the e-mail is sent
    QString address;
    QString server;
    bool on = false;
    /// At most one restart e-mail per slot within this many minutes; 0 sends
    /// one per restart.
    int minutes = defaultNumber(Key::MailMinutes);
    /// The sign-in name; empty: no sign-in.
    QString user;
    /// A PEM file of authorities trusted beside the system's; empty: none.
    QString caFile;
    /// Also e-mails the recoveries: watched, responding, healthy again, connection back.
    bool recovery = false;
};

/// What the watching uses, typed, from one read of the file.
struct Snapshot {
    std::array<Slot, SlotCount> perSlot;
    QString logPath;
    Mail mail;
    bool visualAlarm = false;
    bool popupAlarm = false;
    bool audioAlarm = false;
    bool watchInternet = false;
    bool keepUp = false;
    /// Only exactly "Yes" starts in the tray.
    bool startInTray = false;
    /// The web address alerts are posted to (empty: none), as stored.
    struct Webhook {
        QString url;
        QString format;
        QString caFile;
        QString events;
    } webhook;
    /// Desktop notifications: the switch and the kinds sent, as stored.
    struct Notify {
        bool on = false;
        QString events;
    } notify;
    /// The metrics' HTTP address ("127.0.0.1:9464"; empty: not served), as stored.
    struct Metrics {
        QString listen;
    } metrics;
    /// The heartbeat pinged to a push monitor (empty url: none).
    struct Heartbeat {
        QString url;
        int seconds = 60; ///< the pings' interval; 0 or no number: 60
        QString method;   ///< "GET" (also empty) or "POST", as stored
    } heartbeat;
    /// Why the file could not be read; "" when it could or is missing.
    QString problem;

    static Snapshot read();
    static Snapshot from(const Stored &stored);
};

/// A timer interval as settings files have always meant it: a number in the
/// user's (or the C) locale, rounded to nearest with ties to even; nullopt when
/// it is no number or outside what a window timer takes.
std::optional<int> intervalFromText(const QString &text);
/// A whole number of digits only (blanks around it allowed); nullopt for
/// anything else, a sign or one too large for an int included.
std::optional<int> wholeNumberFromText(const QString &text);

/// One save: its changes land in the file together, in one replace, or not at all.
class Save {
public:
    Save &set(Key key, const QString &value) { return set(key, 0, value); }
    Save &set(Key key, int slot, const QString &value);
    /// Writes the word a Switch, YesNo or Action key is stored as.
    Save &setFlag(Key key, bool on) { return set(key, 0, word(key, on)); }
    Save &setFlag(Key key, int slot, bool on) { return set(key, slot, word(key, on)); }

    struct Result {
        bool ok = false;
        QString error; ///< why the file could not be written
    };
    /// Writes every change in order: one read and one replace of the file.
    Result commit() const;

private:
    struct Change {
        Key key;
        int slot;
        QString value;
    };
    std::vector<Change> changes_;
};

/// The path of settings.ini, as text.
QString pathText();
/// The folder of the data files beside the executable, as text.
QString dataFolderText();
/// The folder of settings.ini, as text.
QString settingsFolderText();
/// The message a window shows when a save did not reach the settings file.
QString saveFailedMessage(const QString &reason);

} // namespace settings
