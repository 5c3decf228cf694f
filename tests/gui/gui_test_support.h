#pragma once
// Window tests: a temporary program folder and answered message boxes.

#include "tests/support/test_support.h"
#include "ui/file_picker.h"
#include "ui/message_box.h"

#include <QList>
#include <QString>
#include <functional>
#include <gtest/gtest.h>

namespace testing_support {

/// Records every message box and answers with queued buttons (Ok/Yes when none).
class RecordedMessages : public ui::MessageBoxes {
public:
    QMessageBox::StandardButton show(QWidget *parent, const ui::MessageRequest &request) override;
    QList<ui::MessageRequest> shown;
    QList<QMessageBox::StandardButton> answers;
    QStringList texts() const;
};

/// Answers file and folder pickers with queued results.
class ScriptedPicker : public ui::FilePicker {
public:
    ui::PickResult openFile(QWidget *parent, const ui::PickRequest &request) override;
    ui::PickResult chooseFolder(QWidget *parent, const ui::PickRequest &request) override;
    QList<ui::PickResult> results;
    QList<ui::PickRequest> requests;
};

/// Gives each test a fresh program folder, recorded message boxes and a
/// scripted picker; deletes every window the test left loaded.
class WindowTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    std::filesystem::path settingsFile() const { return folder_ / "settings.ini"; }
    void writeSettings(const std::string &content) const;
    std::string readSettings() const;
    QString folderText() const;

    /// Lets the event loop run until `condition` holds or `timeoutMs` passes.
    static bool waitFor(const std::function<bool()> &condition, int timeoutMs = 5000);
    /// Lets the event loop run for `forMs`; false as soon as `condition` stops
    /// holding, so a test that something stays as it is fails at once.
    static bool holdsFor(const std::function<bool()> &condition, int forMs);

    TempDir folder_;
    RecordedMessages messages_;
    ScriptedPicker picker_;
};

} // namespace testing_support
