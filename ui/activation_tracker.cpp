#include "ui/activation_tracker.h"

#include <QGuiApplication>
#include <QWidget>

namespace ui {

ActivationTracker &ActivationTracker::instance() {
    static ActivationTracker *tracker = new ActivationTracker();
    return *tracker;
}

ActivationTracker::ActivationTracker() {
    connect(qGuiApp, &QGuiApplication::focusWindowChanged, this, &ActivationTracker::focusChanged);
}

void ActivationTracker::watch(QWidget *window, std::function<void()> onActivate) {
    watched_.append({window, std::move(onActivate)});
}

void ActivationTracker::noteActive(QWidget *window) {
    if (window && window->windowHandle()) {
        lastActive_ = window->windowHandle();
    }
}

void ActivationTracker::focusChanged(QWindow *now) {
    if (!now) {
        return; // another application took the focus; remember who had it
    }
    if (now->transientParent() || now->modality() != Qt::NonModal) {
        return; // a message box or picker over a window is part of that window
    }
    const QWindow *previous = lastActive_.data();
    lastActive_ = now;
    if (previous == now) {
        return;
    }
    watched_.removeIf([](const Watched &w) { return w.widget.isNull(); });
    const auto snapshot = watched_;
    for (const auto &w : snapshot) {
        if (w.widget && w.widget->windowHandle() == now) {
            w.onActivate();
        }
    }
}

} // namespace ui
