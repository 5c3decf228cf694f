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

/// A switch or a yes/no key as the schema types it.
bool flag(const Stored &stored, Key key, int slot = 0) {
    const QString value = stored.text(key, slot);
    return definition(key).type == Type::YesNo ? value == QStringLiteral("Yes") : isOn(value);
}

/// A count of seconds: a whole number above 0; anything else, empty and 0
/// among it, is off.
std::optional<int> wholeSeconds(const QString &text) {
    bool ok = false;
    const int value = text.trimmed().toInt(&ok);
    if (!ok || value <= 0) {
        return std::nullopt;
    }
    return value;
}

} // namespace

bool isOn(const QString &text) {
    return text == QStringLiteral("On");
}

QString switchText(bool on) {
    return on ? QStringLiteral("On") : QStringLiteral("Off");
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
        slot.commandLineOn = flag(stored, Key::SlotCommandSwitch, n);
        slot.immediate = flag(stored, Key::SlotImmediate, n);
        slot.hangSeconds = wholeSeconds(stored.text(Key::SlotHangSeconds, n));
        slot.restartWhenHung = stored.text(Key::SlotHangAction, n) == QStringLiteral("Restart");
        slot.intervalMs = intervalFromText(stored.text(Key::SlotInterval, n));
        slot.program = stored.text(Key::SlotProgram, n);
        const auto number = [&](Key key) { return wholeNumberFromText(stored.text(key, n)); };
        slot.giveUpRestarts = number(Key::SlotGiveUp).value_or(0);
        slot.giveUpMinutes = number(Key::SlotGiveUpMinutes).value_or(10);
        slot.backoffSeconds = number(Key::SlotBackoff).value_or(0);
    }
    s.logPath = stored.text(Key::LogPath);
    s.mail = {stored.text(Key::MailTo),
              stored.text(Key::MailPort),
              stored.text(Key::MailFrom),
              stored.text(Key::MailServer),
              flag(stored, Key::MailSwitch),
              wholeNumberFromText(stored.text(Key::MailMinutes)).value_or(0),
              stored.text(Key::MailUser),
              stored.text(Key::MailCaFile)};
    s.visualAlarm = flag(stored, Key::VisualAlarm);
    s.popupAlarm = flag(stored, Key::PopupAlarm);
    s.audioAlarm = flag(stored, Key::AudioAlarm);
    s.watchInternet = flag(stored, Key::InternetWatch);
    s.keepUp = flag(stored, Key::KeepUp);
    s.startInTray = flag(stored, Key::StartInTray);
    s.problem = stored.problem();
    return s;
}

Save &Save::set(Key key, int slot, const QString &value) {
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
