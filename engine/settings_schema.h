#pragma once
// Where each key lives in the settings file, its type, its words and its
// default. Only engine/settings.cpp reads this; everything else asks settings.h.

#include "engine/settings.h"

#include <string>
#include <utility>

namespace settings {

struct KeyDefinition {
    const char *section; ///< "%1" stands for the slot number
    const char *name;    ///< "%1" stands for the slot number
    Type type;
    /// Switch, YesNo and Action: the word that means on, and the one written for off.
    const char *onWord = "";
    const char *offWord = "";
    /// WholeNumber: what a missing key or a text of no whole number counts as.
    int fallback = 0;
};

const KeyDefinition &definition(Key key);

/// Section and key name of `key` for `slot`, as they are written when missing.
std::pair<std::string, std::string> location(Key key, int slot);

} // namespace settings
