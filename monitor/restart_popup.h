#pragma once
// Display1 ... Display8: the popup that says a slot's program was restarted.

#include <QDialog>
#include <functional>

class QLabel;
class QPushButton;

/// The restart popup of one slot. Its text is made once, when the window is
/// created, with one beep; showing it again only brings it forward.
class RestartPopup : public QDialog {
    Q_OBJECT

public:
    int slotNumber() const { return slot_; }

    /// Replaces the system beep, for tests; an empty function restores it.
    static void setBeeper(std::function<void()> beeper);

protected:
    RestartPopup(int slot, const QString &slotName, QWidget *parent);

private:
    int slot_;
    QLabel *label1_ = nullptr;
    QPushButton *command1_ = nullptr;
};

// One class per slot, so each slot has its own single window.
class Display1 : public RestartPopup {
    Q_OBJECT
public:
    explicit Display1(const QString &slotName, QWidget *parent = nullptr)
        : RestartPopup(1, slotName, parent) {}
};
class Display2 : public RestartPopup {
    Q_OBJECT
public:
    explicit Display2(const QString &slotName, QWidget *parent = nullptr)
        : RestartPopup(2, slotName, parent) {}
};
class Display3 : public RestartPopup {
    Q_OBJECT
public:
    explicit Display3(const QString &slotName, QWidget *parent = nullptr)
        : RestartPopup(3, slotName, parent) {}
};
class Display4 : public RestartPopup {
    Q_OBJECT
public:
    explicit Display4(const QString &slotName, QWidget *parent = nullptr)
        : RestartPopup(4, slotName, parent) {}
};
class Display5 : public RestartPopup {
    Q_OBJECT
public:
    explicit Display5(const QString &slotName, QWidget *parent = nullptr)
        : RestartPopup(5, slotName, parent) {}
};
class Display6 : public RestartPopup {
    Q_OBJECT
public:
    explicit Display6(const QString &slotName, QWidget *parent = nullptr)
        : RestartPopup(6, slotName, parent) {}
};
class Display7 : public RestartPopup {
    Q_OBJECT
public:
    explicit Display7(const QString &slotName, QWidget *parent = nullptr)
        : RestartPopup(7, slotName, parent) {}
};
class Display8 : public RestartPopup {
    Q_OBJECT
public:
    explicit Display8(const QString &slotName, QWidget *parent = nullptr)
        : RestartPopup(8, slotName, parent) {}
};

/// Shows slot N's popup (1-based): created with its text when it is not
/// loaded, otherwise only brought forward. Returns the window.
RestartPopup *showRestartPopupOf(int slot, const QString &slotName);
