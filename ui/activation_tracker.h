#pragma once
// Tells a window when it becomes the program's active window coming from
// another window of the program; coming back from another application does
// not count, so a pause is not cleared by every switch of applications.

#include <QObject>
#include <QPointer>
#include <QWindow>
#include <functional>

class QWidget;

namespace ui {

class ActivationTracker : public QObject {
    Q_OBJECT

public:
    static ActivationTracker &instance();

    /// Calls `onActivate` whenever `window` becomes active after another window
    /// of the program was the last active one, or when it is activated for the
    /// first time. The link ends with the window.
    void watch(QWidget *window, std::function<void()> onActivate);

    /// Records `window` as the last active window without calling anything,
    /// for a window that ran its activation itself.
    void noteActive(QWidget *window);

private:
    ActivationTracker();
    void focusChanged(QWindow *now);

    QPointer<QWindow> lastActive_;
    struct Watched {
        QPointer<QWidget> widget;
        std::function<void()> onActivate;
    };
    QList<Watched> watched_;
};

} // namespace ui
