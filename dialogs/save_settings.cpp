#include "dialogs/save_settings.h"

#include "engine/settings.h"
#include "ui/message_box.h"

namespace dialogs {

bool save(QWidget *owner, const settings::Save &save) {
    const auto written = save.commit();
    if (!written.ok) {
        ui::message(owner, settings::saveFailedMessage(written.error), ui::programTitle(),
                    QMessageBox::Critical);
    }
    return written.ok;
}

} // namespace dialogs
