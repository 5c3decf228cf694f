#pragma once
// A pause inside an event handler that keeps the program responsive.

namespace engine {

/// Returns once `seconds` have passed on the monotonic clock, running the
/// event loop meanwhile (other timers tick, windows repaint). It sleeps in a
/// nested event loop woken by a timer, so it costs no CPU, and wall-clock
/// changes or midnight neither stretch nor cut it; only the application
/// quitting ends it early. A wait started inside another one holds the outer
/// one until it ends, because nested loops unwind in order. Zero, negative or
/// NaN waits return after one pass of pending events.
void waitSeconds(float seconds);

} // namespace engine
