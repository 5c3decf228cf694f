#pragma once
// Waiting in the engine tests, whose timers and notifiers need the event loop.

#include "tests/support/test_support.h"

#include <QCoreApplication>
#include <chrono>
#include <functional>

namespace testing_support {

/// Runs the event loop until `condition` holds or `timeout` passes.
inline bool waitWithEvents(const std::function<bool()> &condition,
                           std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    return waitUntil(
        [&] {
            QCoreApplication::processEvents();
            return condition();
        },
        timeout);
}

} // namespace testing_support
