#pragma once
// At most one restart e-mail per slot within a set time: the restarts held
// back are counted and said in the slot's next e-mail.

#include "engine/settings.h"

#include <QDateTime>
#include <QString>
#include <array>
#include <optional>

namespace engine {

class MailFloodGuard {
public:
    /// True when a restart e-mail of `slot` may go at `nowMs` (a steady clock)
    /// with at most one per `minutes` (0: every one); else the restart is
    /// counted toward the next e-mail.
    bool admit(int slot, qint64 nowMs, int minutes);
    /// The line that goes after the usual text of `slot`'s next e-mail ("" when
    /// nothing was held back), and the count starts over: that e-mail, sent
    /// at `now`, is the one the next count is since.
    QString takeHeldLine(int slot, const QString &name, const QDateTime &now);

private:
    struct PerSlot {
        std::optional<qint64> lastAdmittedMs;
        int held = 0;
        QDateTime lastMail;
    };
    PerSlot &of(int slot) { return slots_[static_cast<std::size_t>(slot - 1)]; }

    std::array<PerSlot, settings::SlotCount> slots_;
};

} // namespace engine
