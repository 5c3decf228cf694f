#pragma once
// What the dialogs and viewers may do to the main window, and nothing more.

#include <QString>

namespace ui {

class MainWindowLink {
public:
    virtual ~MainWindowLink() = default;
    /// Ticks the main window's pause box; the pause poll applies it.
    virtual void pauseChecking() = 0;
    /// Sets the e-mail switch the restart path tests for "On".
    virtual void setNotificationSwitch(const QString &value) = 0;
    /// Enables or disables the eight slot timers.
    virtual void setSlotTimersEnabled(bool enabled) = 0;
};

/// The main window registers itself; nullptr when there is none (dialog tests).
void setMainWindowLink(MainWindowLink *link);
MainWindowLink *mainWindowLink();

} // namespace ui
