#include "monitor/window_flash.h"

#include <QVariant>
#include <QWidget>
#include <QWindow>

namespace windowflash {
namespace {

constexpr const char *stateProperty = "perstandoFlashOn";

} // namespace

bool toggle(QWidget *window, int periodMs) {
    const bool on = !isOn(window);
    window->setProperty(stateProperty, on);
    // Qt sets the state (on X11 _NET_WM_STATE_DEMANDS_ATTENTION) but offers no
    // call that clears it at will; asking for exactly one period makes Qt clear
    // it when the "off" half begins. An active window is never marked.
    if (on) {
        if (QWindow *handle = window->windowHandle()) {
            handle->alert(periodMs);
        }
    }
    return on;
}

bool isOn(const QWidget *window) {
    return window->property(stateProperty).toBool();
}

} // namespace windowflash
