// Writes the settings file beside itself the way a dialog saves: all keys of a
// round in one ini::writeValues, round after round until it is killed. Each
// value names its key and the round, and each round is the last key's round
// plus one, so a reader can tell which save a value came from.

#include "tests/support/settings_writer.h"
#include "core/ini_file.h"
#include "core/program_folder.h"

int main() {
    const auto keys = testing_support::savedKeys();
    const auto file = core::settingsPath();
    for (;;) {
        const auto &last = keys.back();
        const int round =
            testing_support::roundOf(last, ini::readValue(last.section, last.key, file)) + 1;
        std::vector<ini::Change> changes;
        changes.reserve(keys.size());
        for (const auto &k : keys) {
            changes.push_back({k.section, k.key, testing_support::valueOf(k, round)});
        }
        ini::writeValues(changes, file);
    }
}
