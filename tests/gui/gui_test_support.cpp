#include "tests/gui/gui_test_support.h"

#include "core/program_folder.h"
#include "ui/window_registry.h"

#include <QApplication>
#include <QTest>

namespace testing_support {

QMessageBox::StandardButton RecordedMessages::show(QWidget *, const ui::MessageRequest &request) {
    shown.append(request);
    if (!answers.isEmpty()) {
        return answers.takeFirst();
    }
    return request.buttons.testFlag(QMessageBox::Yes) ? QMessageBox::Yes : QMessageBox::Ok;
}

QStringList RecordedMessages::texts() const {
    QStringList result;
    for (const auto &m : shown) {
        result << m.text;
    }
    return result;
}

ui::PickResult ScriptedPicker::openFile(QWidget *, const ui::PickRequest &request) {
    requests.append(request);
    return results.isEmpty() ? ui::PickResult{} : results.takeFirst();
}

ui::PickResult ScriptedPicker::chooseFolder(QWidget *, const ui::PickRequest &request) {
    requests.append(request);
    return results.isEmpty() ? ui::PickResult{} : results.takeFirst();
}

void WindowTest::SetUp() {
    core::setProgramFolderOverride(folder_.path().string());
    ui::setMessageBoxes(&messages_);
    ui::setFilePicker(&picker_);
}

void WindowTest::TearDown() {
    for (QWidget *w : ui::WindowRegistry::instance().loaded()) {
        delete w;
    }
    QApplication::processEvents();
    ui::setMessageBoxes(nullptr);
    ui::setFilePicker(nullptr);
    core::setProgramFolderOverride({});
}

void WindowTest::writeSettings(const std::string &content) const {
    writeFile(settingsFile(), content);
}

std::string WindowTest::readSettings() const {
    return readFile(settingsFile());
}

QString WindowTest::folderText() const {
    return QString::fromStdString(folder_.path().string());
}

bool WindowTest::waitFor(const std::function<bool()> &condition, int timeoutMs) {
    return QTest::qWaitFor(condition, timeoutMs);
}

bool WindowTest::holdsFor(const std::function<bool()> &condition, int forMs) {
    return !QTest::qWaitFor([&] { return !condition(); }, forMs);
}

} // namespace testing_support
