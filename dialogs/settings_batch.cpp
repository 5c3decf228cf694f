#include "dialogs/settings_batch.h"

#include "ui/message_box.h"
#include "ui/settings.h"

namespace dialogs {

void SettingsBatch::write(const QString &section, const QString &key, const QString &value) {
    const auto result = ui::writeSetting(section, key, value);
    if (!result.ok && !failed_) {
        failed_ = true;
        firstError_ = result.error;
    }
}

void SettingsBatch::reportFailure(QWidget *parent) const {
    if (failed_) {
        ui::message(parent, ui::saveFailedMessage(firstError_), ui::programTitle(),
                    QMessageBox::Critical);
    }
}

QString onOff(bool on) {
    return on ? QStringLiteral("On") : QStringLiteral("Off");
}

} // namespace dialogs
