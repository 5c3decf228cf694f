#pragma once
// The main window on a watchdog of its own, as the program start builds them.

#include "engine/watchdog.h"
#include "monitor/main_window.h"

namespace testing_support {

/// Builds the watchdog and the main window and runs the load steps. The
/// window takes the watchdog with it when it is deleted; the program keeps
/// them apart.
inline MainWindow *newMainWindow() {
    auto *watchdog = new engine::Watchdog();
    auto *window = new MainWindow(*watchdog);
    watchdog->setParent(window);
    watchdog->start();
    return window;
}

} // namespace testing_support
