// Perstando: keeps up to eight chosen applications running.

#include "core/atomic_file.h"
#include "core/instance_lock.h"
#include "core/program_folder.h"
#include "monitor/main_window.h"

#include <QApplication>
#include <QIcon>
#include <cstdio>
#include <string>

int main(int argc, char *argv[]) {
    // A second copy for the same settings ends at once, without a word.
    core::InstanceLock instance;
    if (!instance.tryAcquire(core::settingsFolder())) {
        return 0;
    }
    // Without its folder the program still runs, on empty settings, as with
    // no settings file; the user is told why nothing can be saved.
    if (const std::string problem = core::prepareSettingsFolder(); !problem.empty()) {
        std::fprintf(stderr,
                     "Perstando: the settings folder cannot be created (%s); settings "
                     "read as empty and cannot be saved.\n",
                     problem.c_str());
    }
    // Saves cut short by a crash or a power cut leave their temporary files;
    // with the folder ours alone, nobody is writing the settings now.
    core::removeLeftoverTemporaries(core::settingsPath());

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Perstando"));
    QApplication::setApplicationVersion(QStringLiteral(PERSTANDO_VERSION));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/pictures/perstando.png")));
    // The program lives on in the tray with no window shown; only Exit ends it.
    QApplication::setQuitOnLastWindowClosed(false);

    auto *form1 = new MainWindow();
    form1->show();
    form1->activateWindow();
    return QApplication::exec();
}
