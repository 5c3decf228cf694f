#pragma once
// modflash: makes a window ask for the user's attention, one toggle per call.

class QWidget;

namespace modflash {

/// Toggles the window's demands-attention state (its taskbar entry and frame
/// blink on desktops that show it). Called once a second, the window blinks
/// with a period of two seconds. Returns the state now asked for.
bool FlashWindow(QWidget *window, int periodMs);

/// The state the last FlashWindow call asked for.
bool isFlashOn(const QWidget *window);

} // namespace modflash
