// Perstando: keeps up to eight chosen applications running.

#include "core/atomic_file.h"
#include "core/child_reaper.h"
#include "core/command_channel.h"
#include "core/file_trust.h"
#include "core/instance_lock.h"
#include "core/program_folder.h"
#include "engine/command_server.h"
#include "engine/shell_commands.h"
#include "engine/watchdog.h"
#include "monitor/main_window.h"

#include <QApplication>
#include <QIcon>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

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

} // namespace

int main(int argc, char *argv[]) {
    if (argc > 1 && std::strncmp(argv[1], "--", 2) == 0 && !isQtOption(argv[1])) {
        return runCommand(argc, argv);
    }
    // A second copy for the same settings ends at once, without a word.
    core::InstanceLock instance;
    if (!instance.tryAcquire(core::settingsFolder())) {
        return 0;
    }
    // What Perstando starts stays its child, so its exit cause can be told;
    // refused, the restarts go on without causes.
    (void)reaper::setChildSubreaper();
    // Without its folder the program still runs, on empty settings, as with
    // no settings file; the user is told why nothing can be saved.
    if (const std::string problem = core::prepareSettingsFolder(); !problem.empty()) {
        std::fprintf(stderr,
                     "Perstando: the settings folder cannot be created (%s); settings "
                     "read as empty and cannot be saved.\n",
                     problem.c_str());
    }
    // Saves cut short by a crash or a power cut leave their temporary files;
    // with the folder ours alone, nobody is writing the settings now. A folder
    // another account could change is not ours: nothing is done in it.
    if (core::settingsExposure(core::settingsPath()).empty()) {
        core::removeLeftoverTemporaries(core::settingsPath());
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Perstando"));
    QApplication::setApplicationVersion(QStringLiteral(PERSTANDO_VERSION));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/pictures/perstando.png")));
    // The program lives on in the tray with no window shown; only Exit ends it.
    QApplication::setQuitOnLastWindowClosed(false);

    engine::Watchdog watchdog;
    // Deleted on close, after the registry unloads every window.
    auto *form1 = new MainWindow(watchdog);
    QObject::connect(&watchdog, &engine::Watchdog::quitRequested, form1,
                     [form1] { form1->runMenuItem(QStringLiteral("mnuexit")); });
    std::unique_ptr<engine::CommandServer> commands;
    if (instance.listeningSocket() >= 0) {
        commands = std::make_unique<engine::CommandServer>(
            instance.listeningSocket(),
            [&watchdog](const QString &request) {
                return engine::answerShellCommand(watchdog, request);
            },
            nullptr);
    }
    watchdog.start();
    form1->show();
    form1->activateWindow();
    return QApplication::exec();
}
