#pragma once
// The dialogs' save: keys written in order, a failure told to the user.

#include <QList>
#include <QString>
#include <utility>

class QWidget;

namespace dialogs {

using KeyValues = QList<std::pair<QString, QString>>;

/// Writes each key of `section` in order and stops at the first that cannot
/// be written, telling the user which file failed and why. True when all
/// were written.
bool saveKeys(QWidget *owner, const QString &section, const KeyValues &values);

} // namespace dialogs
