#include "core/companion.h"

#include "core/launcher.h"

namespace core {

std::string companionPath(const std::string &folder) {
    std::string path = folder;
    if (path.empty() || path.back() != '/') {
        path += '/';
    }
    return path + "linkmind";
}

void startCompanion(const std::string &folder) {
    std::string commandLine = companionPath(folder);
    // The command line splits at the first blank unless the program is quoted.
    if (commandLine.find(' ') != std::string::npos) {
        commandLine = '"' + commandLine + '"';
    }
    launcher::runCommandLine(commandLine);
}

} // namespace core
