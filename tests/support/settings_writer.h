#pragma once
// The keys the settings writer saves and how its values encode the round.

#include <string>
#include <vector>

namespace testing_support {

struct SavedKey {
    std::string section;
    std::string key;
};

/// The setup dialog's keys in its write order, then the interval dialog's.
inline std::vector<SavedKey> savedKeys() {
    std::vector<SavedKey> keys;
    for (int n = 1; n <= 8; ++n) {
        const auto section = "exe" + std::to_string(n);
        keys.push_back({section, "name"});
        keys.push_back({section, "path"});
    }
    for (int n = 1; n <= 8; ++n) {
        keys.push_back({"workingexe" + std::to_string(n), "path" + std::to_string(n)});
    }
    keys.push_back({"internet", "restartname"});
    keys.push_back({"StartupMode", "InIconTray"});
    for (const char *key : {"Monitor", "Restart", "alive"}) {
        keys.push_back({"Internet", key});
    }
    for (int n = 1; n <= 8; ++n) {
        keys.push_back({"exe" + std::to_string(n), "timer"});
    }
    return keys;
}

/// The value of `key` in `round`: it names the key, so a value that lands
/// under another key is caught too.
inline std::string valueOf(const SavedKey &key, int round) {
    return key.section + "/" + key.key + " round " + std::to_string(round);
}

/// The round of a value of `key`; 0 for a missing value, -1 for one that is
/// no value of this key at all.
inline int roundOf(const SavedKey &key, const std::string &value) {
    if (value.empty()) {
        return 0;
    }
    const std::string prefix = key.section + "/" + key.key + " round ";
    if (value.rfind(prefix, 0) != 0 || value.size() == prefix.size()) {
        return -1;
    }
    int round = 0;
    for (std::size_t i = prefix.size(); i < value.size(); ++i) {
        if (value[i] < '0' || value[i] > '9' || round > 100000000) {
            return -1;
        }
        round = round * 10 + (value[i] - '0');
    }
    return round;
}

} // namespace testing_support
