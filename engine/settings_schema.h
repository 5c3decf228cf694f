#pragma once
// Where each key lives in the settings file. Only engine/ uses this.

#include "engine/settings.h"

#include <string>
#include <utility>

namespace settings {

enum class Type {
    Text,        ///< any text, shown and used as stored
    Path,        ///< a program, folder or file path
    Switch,      ///< on only for exactly "On"
    YesNo,       ///< on only for exactly "Yes"
    Interval,    ///< milliseconds, as a number in the user's locale
    WholeNumber, ///< digits only; anything else reads as missing
};

struct KeyDefinition {
    const char *section; ///< "%1" stands for the slot number
    const char *name;    ///< "%1" stands for the slot number
    Type type;
    const char *defaultText;
    bool perSlot;
};

const KeyDefinition &definition(Key key);

/// Section and key name of `key` for `slot`, as they are written when missing.
std::pair<std::string, std::string> location(Key key, int slot);

} // namespace settings
