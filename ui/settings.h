#pragma once
// The settings file as the windows use it: Qt text in, Qt text out.

#include <QString>

namespace ui {

/// ini::readValue on the settings path of the program folder.
QString readSetting(const QString &section, const QString &key);

struct SettingWrite {
    bool ok = true;
    QString error;
};

/// Writes one key; the result says whether it reached the file.
SettingWrite writeSetting(const QString &section, const QString &key, const QString &value);

/// The settings path of the program folder, as text.
QString settingsPathText();
/// The program folder, as text.
QString programFolderText();

/// "The settings file <path> cannot be read: <reason>", or "" when it can be
/// read or is missing (a missing file reads as empty).
QString settingsUnreadableMessage();

/// The message a window shows when a save did not reach the settings file.
QString saveFailedMessage(const QString &reason);

} // namespace ui
