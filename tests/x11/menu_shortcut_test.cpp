// The menu's shortcuts from real key presses on a real X server, wherever the
// keyboard focus sits in the main window.

#include "monitor/main_window.h"
#include "tests/gui/main_window_fixture.h"

#include <QAction>
#include <QApplication>
#include <QTest>

using testing_support::Form1Test;

namespace {

class MenuShortcutTest : public Form1Test {};

TEST_F(MenuShortcutTest, EveryShortcutRunsItsItemWhereverTheFocusSits) {
    start();
    form_->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form_));

    QStringList ran;
    QList<QAction *> items;
    for (QAction *action : form_->findChildren<QAction *>()) {
        if (!action->shortcut().isEmpty()) {
            items << action;
            const QString name = action->objectName();
            form_->setMenuHandler(name, [&ran, name] { ran << name; });
        }
    }
    ASSERT_FALSE(items.isEmpty());

    auto pressEach = [&](const QString &where) {
        QWidget *focus = QApplication::focusWidget();
        ASSERT_NE(focus, nullptr) << where.toStdString();
        for (QAction *action : items) {
            ran.clear();
            const QKeyCombination key = action->shortcut()[0];
            QTest::keyClick(focus, key.key(), key.keyboardModifiers());
            EXPECT_EQ(ran, QStringList{action->objectName()})
                << action->shortcut().toString().toStdString() << " with the focus on "
                << where.toStdString();
        }
    };

    // Where the focus lands when the window is first shown.
    pressEach(QApplication::focusWidget() ? QApplication::focusWidget()->objectName() : QString());
    for (const char *name : {"Text1", "Text5", "Text8", "Check1", "Command1", "Command2"}) {
        auto *widget = control<QWidget>(name);
        ASSERT_NE(widget, nullptr) << name;
        widget->setFocus();
        ASSERT_TRUE(waitFor([&] { return QApplication::focusWidget() == widget; })) << name;
        pressEach(QString::fromLatin1(name));
    }
}

} // namespace
