// Writes the settings file beside itself the way the setup and interval
// dialogs save, key by key through ui::writeSetting, round after round until
// it is killed. Each value names its key and the round, and each round is the
// last key's round plus one, so a reader can tell old values from new ones.

#include "tests/support/settings_writer.h"
#include "ui/settings.h"

#include <QString>

int main() {
    const auto keys = testing_support::savedKeys();
    for (;;) {
        const auto &last = keys.back();
        const int round =
            testing_support::roundOf(last, ui::readSetting(QString::fromStdString(last.section),
                                                           QString::fromStdString(last.key))
                                               .toStdString()) +
            1;
        for (const auto &k : keys) {
            ui::writeSetting(QString::fromStdString(k.section), QString::fromStdString(k.key),
                             QString::fromStdString(testing_support::valueOf(k, round)));
        }
    }
}
