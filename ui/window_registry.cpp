#include "ui/window_registry.h"

namespace ui {

WindowRegistry &WindowRegistry::instance() {
    static WindowRegistry registry;
    return registry;
}

void WindowRegistry::add(QWidget *window) {
    if (!window || windows_.contains(window)) {
        return;
    }
    window->setAttribute(Qt::WA_DeleteOnClose);
    windows_.append(window);
}

QList<QWidget *> WindowRegistry::loaded() const {
    QList<QWidget *> result;
    for (const auto &w : windows_) {
        if (w) {
            result.append(w.data());
        }
    }
    return result;
}

void WindowRegistry::bringForward(QWidget *window) {
    if (window->isMinimized()) {
        window->showNormal();
    } else {
        window->show();
    }
    window->raise();
    window->activateWindow();
}

void WindowRegistry::unloadAll() {
    // A window whose close was interrupted gets one more pass. Closed windows
    // delete themselves once control returns to the event loop.
    QList<QPointer<QWidget>> pending(windows_.begin(), windows_.end());
    for (int pass = 0; pass < 2 && !pending.isEmpty(); ++pass) {
        QList<QPointer<QWidget>> refused;
        for (const auto &w : pending) {
            if (w && !w->close()) {
                refused.append(w);
            }
        }
        pending = refused;
    }
}

} // namespace ui
