#pragma once
// The flashing window: makes a window ask for the user's attention, one toggle per call.

class QWidget;

namespace windowflash {

/// Toggles the window's demands-attention state (its taskbar entry and frame
/// blink on desktops that show it). Called once a second, the window blinks
/// with a period of two seconds. Returns the state now asked for.
bool toggle(QWidget *window, int periodMs);

/// The state the last toggle asked for.
bool isOn(const QWidget *window);

} // namespace windowflash
