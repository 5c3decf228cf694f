// Perstando: keeps up to eight chosen applications running.

// The executable holds only main() and the shell commands, which need
// neither Qt nor a display; the windowed program is a module loaded beside it.

#include "app/gui_entry.h"
#include "core/command_channel.h"
#include "core/program_folder.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

namespace {

constexpr const char *Usage =
    "Usage: perstando [COMMAND]\n"
    "Without a command, starts Perstando (a second copy for the same settings ends at once).\n"
    "Commands for the copy running with the same settings folder:\n"
    "  --status         each named slot's state, the pause, the alarms, the connection\n"
    "  --status --json  the same as one JSON document\n"
    "  --metrics        the state and counts in the Prometheus text format\n"
    "  --metrics --openmetrics  the same in OpenMetrics\n"
    "  --pause          pause checking, as the Pause Checking box does\n"
    "  --resume         resume checking\n"
    "  --acknowledge    stop the alarms, as Alarm Acknowledgement does\n"
    "  --check N        check slot N (1 to 8) now, restarting its program if gone\n"
    "  --quit           end Perstando, as Exit does\n"
    "  --help           this text\n"
    "  --version        the version\n"
    "Exit status: 0 done, 1 refused or failed, 2 unknown command, 3 no copy running.\n";

/// Qt's own options, which Qt also takes with two dashes; they start the program.
bool isQtOption(const char *arg) {
    static const char *const options[] = {"--platform",
                                          "--platformpluginpath",
                                          "--platformtheme",
                                          "--plugin",
                                          "--display",
                                          "--style",
                                          "--stylesheet",
                                          "--geometry",
                                          "--qwindowgeometry",
                                          "--qwindowtitle",
                                          "--qwindowicon",
                                          "--reverse",
                                          "--session",
                                          "--widgetcount",
                                          "--name",
                                          "--title",
                                          "--sync",
                                          "--qmljsdebugger",
                                          "--nograb",
                                          "--dograb",
                                          "--visual"};
    const char *equals = std::strchr(arg, '=');
    const std::size_t length = equals ? std::size_t(equals - arg) : std::strlen(arg);
    for (const char *option : options) {
        if (std::strlen(option) == length && std::strncmp(arg, option, length) == 0) {
            return true;
        }
    }
    return false;
}

/// The request for the running copy, or empty for an unknown command line.
std::string requestOf(int argc, char *argv[]) {
    const std::string command = argv[1];
    if (argc == 2) {
        for (const char *known : {"status", "metrics", "pause", "resume", "acknowledge", "quit"}) {
            if (command == std::string("--") + known) {
                return known;
            }
        }
    }
    if (argc == 3 && command == "--status" && std::strcmp(argv[2], "--json") == 0) {
        return "status --json";
    }
    if (argc == 3 && command == "--metrics" && std::strcmp(argv[2], "--openmetrics") == 0) {
        return "metrics --openmetrics";
    }
    if (argc == 3 && command == "--check" && std::strlen(argv[2]) <= 16) {
        return std::string("check ") + argv[2];
    }
    return {};
}

/// A command given from a shell, answered without Qt or a display.
int runCommand(int argc, char *argv[]) {
    const std::string command = argv[1];
    if (command == "--help") {
        std::fputs(Usage, stdout);
        return 0;
    }
    if (command == "--version") {
        std::printf("Perstando %s\n", PERSTANDO_VERSION);
        return 0;
    }
    const std::string request = requestOf(argc, argv);
    if (request.empty()) {
        std::fputs(Usage, stderr);
        return 2;
    }
    const auto answer = core::commands::send(core::settingsFolder(), request);
    // Written whole, so that a NUL in a name cuts nothing; JSON escapes its
    // own control characters.
    const auto show = [](const std::string &text, FILE *stream) {
        std::fwrite(text.data(), 1, text.size(), stream);
    };
    // JSON and the metrics formats escape what they must themselves and are
    // read by programs: shown as they come.
    const bool raw = request == "status --json" || request.starts_with("metrics");
    switch (answer.outcome) {
    case core::commands::Outcome::Done:
        show(raw ? answer.text : core::commands::visible(answer.text), stdout);
        return 0;
    case core::commands::Outcome::Refused:
        show("perstando: " + core::commands::visible(answer.text) +
                 (answer.text.ends_with('\n') ? "" : "\n"),
             stderr);
        return 1;
    case core::commands::Outcome::NoCopy:
        break;
    }
    show("perstando: no copy runs for the settings folder " +
             core::commands::visible(core::settingsFolder()) + "\n",
         stderr);
    return 3;
}

/// Starts the windowed program from the module beside the real executable,
/// never from a folder the caller chose (the current one, a link's).
int runProgram(int argc, char *argv[]) {
    std::error_code error;
    const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        std::fprintf(stderr, "perstando: its own executable cannot be found (/proc/self/exe: %s)\n",
                     error.message().c_str());
        return 1;
    }
    const std::string path = (executable.parent_path() / PERSTANDO_GUI_MODULE).string();
    const auto fail = [&path](const char *what, const char *why) {
        const std::string line =
            std::string("perstando: ") + what + " " + path + ": " + (why ? why : "unknown error");
        std::fprintf(stderr, "%s\n", core::commands::visible(line).c_str());
        return 1;
    };
    // Local: the module's libraries stay its own, bound at once so that a
    // missing one is told here and not at some later call.
    void *module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        return fail("cannot load", ::dlerror());
    }
    const auto entry = reinterpret_cast<GuiEntry>(::dlsym(module, GuiEntryName));
    if (!entry) {
        return fail("cannot start the program from", ::dlerror());
    }
    return entry(argc, argv);
}

} // namespace

int main(int argc, char *argv[]) {
    if (argc > 1 && std::strncmp(argv[1], "--", 2) == 0 && !isQtOption(argv[1])) {
        return runCommand(argc, argv);
    }
    return runProgram(argc, argv);
}
