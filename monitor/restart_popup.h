#pragma once
// Display1 ... Display8: the popup that says a slot's program was restarted, or
// could not be, or is no longer restarted.

#include <QDialog>
#include <functional>

class QLabel;
class QPushButton;

/// The restart popup of one slot. Its text is made once, when the window is
/// created, with one beep; another restart only brings it forward, while giving
/// up replaces the text, with a beep.
class RestartPopup : public QDialog {
    Q_OBJECT

public:
    int slotNumber() const { return slot_; }

    /// Replaces the system beep, for tests; an empty function restores it.
    static void setBeeper(std::function<void()> beeper);
    /// Says `message` in place of the text shown, with a beep.
    void renew(const QString &message);

protected:
    RestartPopup(int slot, const QString &message, QWidget *parent);

private:
    int slot_;
    QLabel *messageLabel_ = nullptr;
    QPushButton *okButton_ = nullptr;
};

/// One class per slot, so each slot has its own single window.
template <int Slot> class SlotPopup final : public RestartPopup {
public:
    explicit SlotPopup(const QString &message, QWidget *parent = nullptr)
        : RestartPopup(Slot, message, parent) {}
};

/// Shows slot N's popup (1-based): created with its text when it is not
/// loaded, otherwise only brought forward. When `restartFailed`, the text says
/// the program could not be restarted. Returns the window.
RestartPopup *showRestartPopupOf(int slot, const QString &slotName, bool restartFailed);
/// Shows slot N's popup with the give-up sentence, created or renewed.
RestartPopup *showGiveUpPopupOf(int slot, const QString &sentence);

/// Shows slot N's popup as showRestartPopupOf does; a new one says that its
/// program stopped responding. Returns the window.
RestartPopup *showNotRespondingPopupOf(int slot, const QString &slotName);
/// The slot's popup saying `sentence` ("<name> is not healthy: <reason>.").
RestartPopup *showUnhealthyPopupOf(int slot, const QString &sentence);
