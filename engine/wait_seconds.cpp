#include "engine/wait_seconds.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <limits>

namespace engine {

void waitSeconds(float seconds) {
    if (!(seconds > 0.0f)) {
        QCoreApplication::processEvents();
        return;
    }
    const double ms = std::ceil(static_cast<double>(seconds) * 1000.0);
    // A quarter of the range: far beyond any wait, far from overflowing the deadline.
    const auto longest = static_cast<double>(std::numeric_limits<qint64>::max()) / 4.0;
    const QDeadlineTimer deadline(static_cast<qint64>(std::min(ms, longest)), Qt::PreciseTimer);

    QEventLoop loop;
    QTimer wake;
    wake.setSingleShot(true);
    wake.setTimerType(Qt::PreciseTimer);
    bool woken = false;
    QObject::connect(&wake, &QTimer::timeout, &loop, [&] {
        woken = true;
        loop.quit();
    });
    while (!deadline.hasExpired()) {
        woken = false;
        const qint64 remaining = std::max<qint64>(deadline.remainingTime(), 1);
        wake.start(static_cast<int>(std::min<qint64>(remaining, std::numeric_limits<int>::max())));
        loop.exec();
        if (!woken) {
            // Only quitting the application ends every loop; the wait gives way
            // instead of holding the program open.
            return;
        }
    }
}

} // namespace engine
