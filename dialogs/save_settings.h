#pragma once
// The dialogs' save: all of a dialog's keys reach the file together or none
// does, and a failure is told to the user.

class QWidget;

namespace settings {
class Save;
}

namespace dialogs {

/// Commits `save`; when the file cannot be written, tells the user which file
/// failed and why. True when every key reached the file.
bool save(QWidget *owner, const settings::Save &save);

} // namespace dialogs
