#include "engine/settings.h"

#include "core/ini_file.h"
#include "core/program_folder.h"
#include "engine/settings_schema.h"

#include <QLocale>
#include <algorithm>
#include <cmath>

namespace settings {

namespace {

QString problemMessage(const std::string &problem) {
    if (problem.empty()) {
        return {};
    }
    return QStringLiteral("The settings file %1 cannot be read: %2")
        .arg(pathText(), QString::fromStdString(problem));
}

/// A count of seconds: a whole number above 0, as a number reads (blanks and
/// a sign allowed); anything else, empty and 0 among it, is off.
std::optional<int> wholeSeconds(const QString &text) {
    bool ok = false;
    const int value = text.trimmed().toInt(&ok);
    if (!ok || value <= 0) {
        return std::nullopt;
    }
    return value;
}

/// What a stored text means as its key's type says: the one place a type is
/// given its meaning.
struct Reading {
    bool on = false;
    std::optional<int> number;
};

Reading reading(Key key, const QString &text) {
    const KeyDefinition &d = definition(key);
    switch (d.type) {
    case Type::Text:
    case Type::Path:
        return {};
    case Type::Switch:
    case Type::YesNo:
    case Type::Action:
        return {text == QLatin1StringView(d.onWord), std::nullopt};
    case Type::Interval:
        return {false, intervalFromText(text)};
    case Type::WholeNumber:
        return {false, wholeNumberFromText(text).value_or(d.fallback)};
    case Type::Seconds:
        return {false, wholeSeconds(text)};
    }
    return {};
}

} // namespace

Type type(Key key) {
    return definition(key).type;
}

QString word(Key key, bool on) {
    const KeyDefinition &d = definition(key);
    return QString::fromLatin1(on ? d.onWord : d.offWord);
}

bool isOn(Key key, const QString &text) {
    return reading(key, text).on;
}

int defaultNumber(Key key) {
    return definition(key).fallback;
}

QString text(Key key, int slot) {
    const auto [section, name] = location(key, slot);
    return QString::fromStdString(ini::readValue(section, name, core::settingsPath()));
}

struct Stored::Data {
    ini::Document document;
};

Stored Stored::read() {
    std::string problem;
    Stored stored;
    stored.data_ =
        std::make_shared<const Data>(Data{ini::Document::load(core::settingsPath(), &problem)});
    stored.problem_ = problemMessage(problem);
    return stored;
}

QString Stored::text(Key key, int slot) const {
    if (!data_) {
        return {};
    }
    const auto [section, name] = location(key, slot);
    return QString::fromStdString(data_->document.value(section, name));
}

bool Stored::flag(Key key, int slot) const {
    return reading(key, text(key, slot)).on;
}

std::optional<int> Stored::number(Key key, int slot) const {
    return reading(key, text(key, slot)).number;
}

const Stored &Reader::current() {
    const core::FileStamp now = core::fileStamp(core::settingsPath());
    if (!core::unchanged(stamp_, now)) {
        stored_ = Stored::read();
        // A file that could not be read is tried again at the next check.
        stamp_ = stored_.problem().isEmpty() ? now : core::FileStamp{};
    }
    return stored_;
}

std::optional<int> intervalFromText(const QString &text) {
    const QString trimmed = text.trimmed();
    bool ok = false;
    double value = QLocale().toDouble(trimmed, &ok);
    if (!ok) {
        value = QLocale::c().toDouble(trimmed, &ok);
    }
    if (!ok || !std::isfinite(value)) {
        return std::nullopt;
    }
    const double rounded = std::nearbyint(value); // default rounding: ties to even
    if (rounded < 0 || rounded > 65535) {
        return std::nullopt;
    }
    return static_cast<int>(rounded);
}

std::optional<int> wholeNumberFromText(const QString &text) {
    const QString trimmed = text.trimmed();
    const bool digitsOnly =
        !trimmed.isEmpty() && std::all_of(trimmed.begin(), trimmed.end(), [](QChar c) {
            return c >= QLatin1Char('0') && c <= QLatin1Char('9');
        });
    bool ok = false;
    const int value = digitsOnly ? trimmed.toInt(&ok) : 0;
    return ok ? std::optional<int>(value) : std::nullopt;
}

Snapshot Snapshot::read() {
    return from(Stored::read());
}

Snapshot Snapshot::from(const Stored &stored) {
    Snapshot s;
    for (int n = 1; n <= SlotCount; ++n) {
        Slot &slot = s.perSlot[static_cast<std::size_t>(n - 1)];
        slot.name = stored.text(Key::SlotName, n);
        slot.workingDirectory = stored.text(Key::SlotFolder, n);
        slot.commandLine = stored.text(Key::SlotCommand, n);
        slot.commandLineOn = stored.flag(Key::SlotCommandSwitch, n);
        slot.immediate = stored.flag(Key::SlotImmediate, n);
        slot.program = stored.text(Key::SlotProgram, n);
        slot.giveUpRestarts = stored.number(Key::SlotGiveUp, n).value_or(0);
        slot.giveUpMinutes = stored.number(Key::SlotGiveUpMinutes, n).value_or(0);
        slot.backoffSeconds = stored.number(Key::SlotBackoff, n).value_or(0);
        slot.hangSeconds = stored.number(Key::SlotHangSeconds, n);
        slot.restartWhenHung = stored.flag(Key::SlotHangAction, n);
        slot.intervalMs = stored.number(Key::SlotInterval, n);
        slot.health = stored.text(Key::SlotHealth, n).trimmed();
        slot.healthSeconds = stored.number(Key::SlotHealthSeconds, n).value_or(0);
        slot.healthTimeout = stored.number(Key::SlotHealthTimeout, n).value_or(0);
        slot.healthFailures = stored.number(Key::SlotHealthFailures, n).value_or(0);
        slot.healthGrace = stored.number(Key::SlotHealthGrace, n).value_or(0);
        slot.restartWhenUnhealthy = stored.flag(Key::SlotHealthAction, n);
        slot.healthText = stored.text(Key::SlotHealthText, n);
        slot.healthCaFile = stored.text(Key::SlotHealthCaFile, n);
        slot.maxMemoryMiB = stored.number(Key::SlotMaxMemory, n).value_or(0);
        slot.maxCpuPercent = stored.number(Key::SlotMaxCpu, n).value_or(0);
        slot.limitChecks = stored.number(Key::SlotLimitChecks, n).value_or(0);
        slot.restartWhenOverLimit = stored.flag(Key::SlotLimitAction, n);
        slot.arguments = stored.text(Key::SlotArguments, n);
        slot.environmentFile = stored.text(Key::SlotEnvironment, n);
        slot.outputFile = stored.text(Key::SlotOutput, n);
        slot.outputKb = stored.number(Key::SlotOutputKb, n).value_or(0);
        slot.outputFiles = stored.number(Key::SlotOutputFiles, n).value_or(0);
        slot.stopOnCleanExit = stored.flag(Key::SlotCleanExit, n);
    }
    s.logPath = stored.text(Key::LogPath);
    s.mail.sendTo = stored.text(Key::MailTo);
    s.mail.port = stored.text(Key::MailPort);
    s.mail.address = stored.text(Key::MailFrom);
    s.mail.server = stored.text(Key::MailServer);
    s.mail.on = stored.flag(Key::MailSwitch);
    s.mail.minutes = stored.number(Key::MailMinutes).value_or(0);
    s.mail.user = stored.text(Key::MailUser);
    s.mail.caFile = stored.text(Key::MailCaFile);
    s.visualAlarm = stored.flag(Key::VisualAlarm);
    s.popupAlarm = stored.flag(Key::PopupAlarm);
    s.audioAlarm = stored.flag(Key::AudioAlarm);
    s.watchInternet = stored.flag(Key::InternetWatch);
    s.keepUp = stored.flag(Key::KeepUp);
    s.startInTray = stored.flag(Key::StartInTray);
    s.webhook.url = stored.text(Key::WebhookUrl).trimmed();
    s.webhook.format = stored.text(Key::WebhookFormat).trimmed();
    s.webhook.caFile = stored.text(Key::WebhookCaFile);
    s.webhook.events = stored.text(Key::WebhookEvents);
    s.mail.recovery = stored.flag(Key::MailRecovery);
    s.notify.on = stored.flag(Key::NotifyOn);
    s.notify.events = stored.text(Key::NotifyEvents);
    s.metrics.listen = stored.text(Key::MetricsListen).trimmed();
    s.heartbeat.url = stored.text(Key::HeartbeatUrl).trimmed();
    // 0 would ping without pause.
    const int heartbeatSeconds = stored.number(Key::HeartbeatSeconds).value_or(60);
    s.heartbeat.seconds = heartbeatSeconds > 0 ? heartbeatSeconds : 60;
    s.heartbeat.method = stored.text(Key::HeartbeatMethod).trimmed();
    s.problem = stored.problem();
    return s;
}

Save &Save::set(Key key, int slot, const QString &value) {
    // A read drops one pair of enclosing quotes: arguments that start and end
    // with a quoted word keep theirs inside one more pair.
    const bool enclosed =
        value.size() >= 2 && value.startsWith(QLatin1Char('"')) && value.endsWith(QLatin1Char('"'));
    if (key == Key::SlotArguments && enclosed) {
        changes_.push_back({key, slot, QLatin1Char('"') + value + QLatin1Char('"')});
        return *this;
    }
    changes_.push_back({key, slot, value});
    return *this;
}

Save::Result Save::commit() const {
    std::vector<ini::Change> changes;
    changes.reserve(changes_.size());
    for (const auto &change : changes_) {
        auto [section, name] = location(change.key, change.slot);
        changes.push_back({std::move(section), std::move(name), change.value.toStdString()});
    }
    const auto written = ini::writeValues(changes, core::settingsPath());
    return {written.ok, QString::fromStdString(written.error)};
}

QString pathText() {
    return QString::fromStdString(core::settingsPath());
}

QString dataFolderText() {
    return QString::fromStdString(core::dataFolder());
}

QString settingsFolderText() {
    return QString::fromStdString(core::settingsFolder());
}

QString saveFailedMessage(const QString &reason) {
    return QStringLiteral("Your settings could not be saved to %1:\n%2").arg(pathText(), reason);
}

} // namespace settings
