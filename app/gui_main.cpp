// The windowed program: the instance lock, the engine, the windows and the
// command server. Loaded by main() only when no shell command was given.

#include "app/gui_entry.h"
#include "core/atomic_file.h"
#include "core/child_reaper.h"
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
#include <memory>
#include <string>

extern "C" __attribute__((visibility("default"))) int perstando_gui_main(int argc, char **argv) {
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
