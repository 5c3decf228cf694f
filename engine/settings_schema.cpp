// The schema: every section and key of the settings file, with its type, the
// words stored for on and off, and its default. Sections, keys and those words
// are spelled here and nowhere else. Reads ignore case; a key that is missing
// is written with the spelling given here, which is how earlier versions wrote
// it (hence "internet"/"restartname" beside "Internet"). A missing key means
// off, no interval change and nothing watched; the give-up window alone
// defaults to 10 minutes.

#include "engine/settings_schema.h"

#include <array>
#include <cstddef>

namespace settings {

namespace {

struct Entry {
    Key key;
    KeyDefinition definition;
};

constexpr KeyDefinition asText(const char *section, const char *name) {
    return {section, name, Type::Text};
}
constexpr KeyDefinition asPath(const char *section, const char *name) {
    return {section, name, Type::Path};
}
constexpr KeyDefinition asSwitch(const char *section, const char *name) {
    return {section, name, Type::Switch, "On", "Off"};
}
constexpr KeyDefinition asYesNo(const char *section, const char *name) {
    return {section, name, Type::YesNo, "Yes", "No"};
}
constexpr KeyDefinition asAction(const char *section, const char *name, const char *word) {
    return {section, name, Type::Action, word, ""};
}
constexpr KeyDefinition asInterval(const char *section, const char *name) {
    return {section, name, Type::Interval};
}
constexpr KeyDefinition asWholeNumber(const char *section, const char *name, int fallback) {
    return {section, name, Type::WholeNumber, "", "", fallback};
}
constexpr KeyDefinition asSeconds(const char *section, const char *name) {
    return {section, name, Type::Seconds};
}

constexpr std::array<Entry, 58> Schema{{
    {Key::SlotName, asText("exe%1", "name")},
    {Key::SlotProgram, asPath("exe%1", "path")},
    {Key::SlotInterval, asInterval("exe%1", "timer")},
    {Key::SlotFolder, asPath("workingexe%1", "path%1")},
    {Key::SlotCommand, asText("cmdline", "cmdexe%1")},
    {Key::SlotCommandSwitch, asSwitch("cmdline", "statusexe%1")},
    {Key::SlotImmediate, asSwitch("exe%1", "immediate")},
    {Key::SlotGiveUp, asWholeNumber("exe%1", "giveup", 0)},
    {Key::SlotGiveUpMinutes, asWholeNumber("exe%1", "giveupminutes", 10)},
    {Key::SlotBackoff, asWholeNumber("exe%1", "backoff", 0)},
    {Key::SlotHangSeconds, asSeconds("exe%1", "hangseconds")},
    {Key::SlotHangAction, asAction("exe%1", "hangaction", "Restart")},
    {Key::SlotHealth, asText("exe%1", "health")},
    {Key::SlotHealthSeconds, asWholeNumber("exe%1", "healthseconds", 10)},
    {Key::SlotHealthTimeout, asWholeNumber("exe%1", "healthtimeout", 5)},
    {Key::SlotHealthFailures, asWholeNumber("exe%1", "healthfailures", 3)},
    {Key::SlotHealthGrace, asWholeNumber("exe%1", "healthgrace", 30)},
    {Key::SlotHealthAction, asAction("exe%1", "healthaction", "Restart")},
    {Key::SlotHealthText, asText("exe%1", "healthtext")},
    {Key::SlotHealthCaFile, asPath("exe%1", "healthcafile")},
    {Key::SlotMaxMemory, asWholeNumber("exe%1", "maxmemory", 0)},
    {Key::SlotMaxCpu, asWholeNumber("exe%1", "maxcpu", 0)},
    {Key::SlotLimitChecks, asWholeNumber("exe%1", "limitchecks", 3)},
    {Key::SlotLimitAction, asAction("exe%1", "limitaction", "Restart")},
    {Key::SlotArguments, asText("exe%1", "arguments")},
    {Key::SlotEnvironment, asPath("exe%1", "environment")},
    {Key::SlotOutput, asPath("exe%1", "output")},
    {Key::SlotOutputKb, asWholeNumber("exe%1", "outputkb", 1024)},
    {Key::SlotOutputFiles, asWholeNumber("exe%1", "outputfiles", 3)},
    {Key::SlotCleanExit, asAction("exe%1", "cleanexit", "Stop")},
    {Key::LogPath, asPath("log", "path")},
    {Key::MailTo, asText("mail", "Sendto")},
    {Key::MailPort, asText("mail", "port")},
    {Key::MailFrom, asText("mail", "address")},
    {Key::MailServer, asText("mail", "server")},
    {Key::MailSwitch, asSwitch("mail", "notification")},
    {Key::MailMinutes, asWholeNumber("mail", "minutes", 0)},
    {Key::MailUser, asText("mail", "user")},
    {Key::MailCaFile, asPath("mail", "cafile")},
    {Key::VisualAlarm, asSwitch("Alerts", "visual")},
    {Key::PopupAlarm, asSwitch("Alerts", "Pop")},
    {Key::AudioAlarm, asSwitch("Alerts", "audio")},
    {Key::InternetWatch, asSwitch("Internet", "Monitor")},
    {Key::InternetRestart, asSwitch("Internet", "Restart")},
    {Key::InternetRestartName, asText("internet", "restartname")},
    {Key::KeepUp, asSwitch("Internet", "alive")},
    {Key::StartInTray, asYesNo("StartupMode", "InIconTray")},
    {Key::WebhookUrl, asText("webhook", "url")},
    {Key::WebhookFormat, asText("webhook", "format")},
    {Key::WebhookCaFile, asPath("webhook", "cafile")},
    {Key::WebhookEvents, asText("webhook", "events")},
    {Key::MailRecovery, asSwitch("mail", "recovery")},
    {Key::NotifyOn, asSwitch("notify", "on")},
    {Key::NotifyEvents, asText("notify", "events")},
    {Key::MetricsListen, asText("metrics", "listen")},
    {Key::HeartbeatUrl, asText("heartbeat", "url")},
    {Key::HeartbeatSeconds, asWholeNumber("heartbeat", "seconds", 60)},
    {Key::HeartbeatMethod, asText("heartbeat", "method")},
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
