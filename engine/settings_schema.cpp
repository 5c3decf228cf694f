// The schema: every section and key of the settings file, with its type and
// default. Sections and keys are spelled here and nowhere else. Reads ignore
// case; a key that is missing is written with the spelling given here, which
// is how earlier versions wrote it (hence "internet"/"restartname" beside
// "Internet"). Every default is empty: a missing key means off, no interval
// change and nothing watched.

#include "engine/settings_schema.h"

#include <array>
#include <cstddef>

namespace settings {

namespace {

struct Entry {
    Key key;
    KeyDefinition definition;
};

constexpr std::array<Entry, 29> Schema{{
    {Key::SlotName, {"exe%1", "name", Type::Text, "", true}},
    {Key::SlotProgram, {"exe%1", "path", Type::Path, "", true}},
    {Key::SlotInterval, {"exe%1", "timer", Type::Interval, "", true}},
    {Key::SlotFolder, {"workingexe%1", "path%1", Type::Path, "", true}},
    {Key::SlotCommand, {"cmdline", "cmdexe%1", Type::Text, "", true}},
    {Key::SlotCommandSwitch, {"cmdline", "statusexe%1", Type::Switch, "", true}},
    {Key::SlotImmediate, {"exe%1", "immediate", Type::Switch, "", true}},
    {Key::SlotGiveUp, {"exe%1", "giveup", Type::WholeNumber, "", true}},
    {Key::SlotGiveUpMinutes, {"exe%1", "giveupminutes", Type::WholeNumber, "", true}},
    {Key::SlotBackoff, {"exe%1", "backoff", Type::WholeNumber, "", true}},
    {Key::SlotHangSeconds, {"exe%1", "hangseconds", Type::Text, "", true}},
    {Key::SlotHangAction, {"exe%1", "hangaction", Type::Text, "", true}},
    {Key::LogPath, {"log", "path", Type::Path, "", false}},
    {Key::MailTo, {"mail", "Sendto", Type::Text, "", false}},
    {Key::MailPort, {"mail", "port", Type::Text, "", false}},
    {Key::MailFrom, {"mail", "address", Type::Text, "", false}},
    {Key::MailServer, {"mail", "server", Type::Text, "", false}},
    {Key::MailSwitch, {"mail", "notification", Type::Switch, "", false}},
    {Key::MailMinutes, {"mail", "minutes", Type::WholeNumber, "", false}},
    {Key::MailUser, {"mail", "user", Type::Text, "", false}},
    {Key::MailCaFile, {"mail", "cafile", Type::Path, "", false}},
    {Key::VisualAlarm, {"Alerts", "visual", Type::Switch, "", false}},
    {Key::PopupAlarm, {"Alerts", "Pop", Type::Switch, "", false}},
    {Key::AudioAlarm, {"Alerts", "audio", Type::Switch, "", false}},
    {Key::InternetWatch, {"Internet", "Monitor", Type::Switch, "", false}},
    {Key::InternetRestart, {"Internet", "Restart", Type::Switch, "", false}},
    {Key::InternetRestartName, {"internet", "restartname", Type::Text, "", false}},
    {Key::KeepUp, {"Internet", "alive", Type::Switch, "", false}},
    {Key::StartInTray, {"StartupMode", "InIconTray", Type::YesNo, "", false}},
}};

constexpr bool schemaInKeyOrder() {
    for (std::size_t i = 0; i < Schema.size(); ++i) {
        if (static_cast<std::size_t>(Schema[i].key) != i) {
            return false;
        }
    }
    return true;
}
static_assert(schemaInKeyOrder(), "the schema lists every key once, in the order of Key");

std::string withSlot(const char *pattern, int slot) {
    std::string out(pattern);
    if (const auto at = out.find("%1"); at != std::string::npos) {
        out.replace(at, 2, std::to_string(slot));
    }
    return out;
}

} // namespace

const KeyDefinition &definition(Key key) {
    return Schema[static_cast<std::size_t>(key)].definition;
}

std::pair<std::string, std::string> location(Key key, int slot) {
    const KeyDefinition &s = definition(key);
    return {withSlot(s.section, slot), withSlot(s.name, slot)};
}

} // namespace settings
