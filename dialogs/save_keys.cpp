#include "dialogs/save_keys.h"

#include "ui/message_box.h"
#include "ui/settings.h"

namespace dialogs {

bool saveKeys(QWidget *owner, const QString &section, const KeyValues &values) {
    for (const auto &[key, value] : values) {
        const auto written = ui::writeSetting(section, key, value);
        if (!written.ok) {
            ui::message(owner, ui::saveFailedMessage(written.error), ui::programTitle(),
                        QMessageBox::Critical);
            return false;
        }
    }
    return true;
}

} // namespace dialogs
