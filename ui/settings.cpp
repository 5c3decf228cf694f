#include "ui/settings.h"

#include "core/ini_file.h"
#include "core/program_folder.h"

namespace ui {

QString readSetting(const QString &section, const QString &key) {
    return QString::fromStdString(
        ini::readValue(section.toStdString(), key.toStdString(), core::settingsPath()));
}

SettingWrite writeSetting(const QString &section, const QString &key, const QString &value) {
    const auto result = ini::writeValue(section.toStdString(), key.toStdString(),
                                         value.toStdString(), core::settingsPath());
    return {result.ok, QString::fromStdString(result.error)};
}

QString settingsPathText() {
    return QString::fromStdString(core::settingsPath());
}

QString programFolderText() {
    return QString::fromStdString(core::programFolder());
}

QString settingsUnreadableMessage() {
    const std::string problem = core::settingsReadProblem(core::settingsPath());
    if (problem.empty()) {
        return {};
    }
    return QStringLiteral("The settings file %1 cannot be read: %2")
        .arg(settingsPathText(), QString::fromStdString(problem));
}

QString saveFailedMessage(const QString &reason) {
    return QStringLiteral("Your settings could not be saved to %1:\n%2")
        .arg(settingsPathText(), reason);
}

} // namespace ui
