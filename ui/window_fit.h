#pragma once
// Sizes that let a person read a dialog at the default font, and the Esc key.

class QLineEdit;
class QWidget;

namespace ui {

/// Gives a dialog whose controls are all built its first size: every tab of
/// its tab bars side by side, and room for its caption beside the title bar's
/// buttons. Esc closes it as its close box does.
void fitDialog(QWidget *window);

/// Lets a field show about `characters` characters of the default font.
void showCharacters(QLineEdit *field, int characters);

} // namespace ui
