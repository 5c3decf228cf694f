#pragma once
// The dialogs' save: every key is written even after one failed, and the
// first failure is kept so the dialog can say why the save did not reach the file.

#include <QString>

class QWidget;

namespace dialogs {

class SettingsBatch {
public:
    void write(const QString &section, const QString &key, const QString &value);
    bool failed() const { return failed_; }
    /// Shows why the save failed; nothing when every write reached the file.
    void reportFailure(QWidget *parent) const;

private:
    bool failed_ = false;
    QString firstError_;
};

/// The switch word a ticked or unticked box is stored as.
QString onOff(bool on);

} // namespace dialogs
