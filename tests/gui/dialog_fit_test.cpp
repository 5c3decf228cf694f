// The dialogs as a person first meets them: every tab and table cell in view,
// and Esc doing what the close box does.

#include "dialogs/alert_channels_dialog.h"
#include "dialogs/alert_dialog.h"
#include "dialogs/command_line_dialog.h"
#include "dialogs/email_dialog.h"
#include "dialogs/interval_dialog.h"
#include "dialogs/log_file_dialog.h"
#include "dialogs/restart_options_dialog.h"
#include "dialogs/setup_dialog.h"
#include "tests/gui/gui_test_support.h"
#include "ui/window_registry.h"
#include "viewers/about_box.h"

#include <QHeaderView>
#include <QPointer>
#include <QScreen>
#include <QScrollBar>
#include <QTabBar>
#include <QTabWidget>
#include <QTableWidget>
#include <QTest>
#include <QToolButton>

using testing_support::WindowTest;

namespace {

class DialogFitTest : public WindowTest {
protected:
    template <class T> QWidget *shown() {
        QWidget *window = ui::WindowRegistry::instance().show<T>();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(window)) << typeid(T).name();
        return window;
    }
};

TEST_F(DialogFitTest, EveryTabIsInViewAtTheFirstSize) {
    for (QWidget *window :
         {shown<IntervalDialog>(), shown<CommandLineDialog>(), shown<SetupDialog>()}) {
        const std::string name = window->objectName().toStdString();
        auto *tabs = window->findChild<QTabWidget *>(QStringLiteral("SSTab1"));
        ASSERT_NE(tabs, nullptr) << name;
        const QTabBar *bar = tabs->tabBar();
        for (const QToolButton *arrow : bar->findChildren<QToolButton *>()) {
            EXPECT_FALSE(arrow->isVisible()) << name << ": scroll arrows shown";
        }
        for (int i = 0; i < bar->count(); ++i) {
            const QRect tab = bar->tabRect(i);
            EXPECT_TRUE(bar->rect().contains(tab)) << name << ": tab " << i << " cut off";
            EXPECT_GT(tab.width(), bar->fontMetrics().horizontalAdvance(bar->tabText(i)))
                << name << ": caption of tab " << i << " shortened";
        }
    }
}

TEST_F(DialogFitTest, EveryTableRowIsInViewAndEveryCellWithinReachAtTheFirstSize) {
    QWidget *window = shown<RestartOptionsDialog>();
    auto *table = window->findChild<QTableWidget *>(QStringLiteral("Table1"));
    ASSERT_NE(table, nullptr);
    // Wider than the screen, the table scrolls sideways, never up and down.
    EXPECT_LE(window->frameGeometry().width(), window->screen()->availableGeometry().width());
    EXPECT_FALSE(table->verticalScrollBar()->isVisible());
    const QHeaderView *header = table->horizontalHeader();
    for (int row = 0; row < table->rowCount(); ++row) {
        for (int column = 0; column < table->columnCount(); ++column) {
            table->scrollToItem(table->item(row, column));
            EXPECT_TRUE(
                table->viewport()->rect().contains(table->visualItemRect(table->item(row, column))))
                << "row " << row << ", column " << column << " cut off";
        }
    }
    for (int column = 0; column < table->columnCount(); ++column) {
        EXPECT_GT(header->sectionSize(column), header->fontMetrics().horizontalAdvance(
                                                   table->horizontalHeaderItem(column)->text()))
            << "header of column " << column << " shortened";
    }
}

TEST_F(DialogFitTest, EscClosesEachDialog) {
    for (QWidget *opened :
         {shown<SetupDialog>(), shown<LogFileDialog>(), shown<EmailDialog>(),
          shown<CommandLineDialog>(), shown<AlertDialog>(), shown<IntervalDialog>(),
          shown<RestartOptionsDialog>(), shown<AboutBox>(), shown<AlertChannelsDialog>()}) {
        QPointer<QWidget> window = opened;
        const std::string name = window->objectName().toStdString();
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window)) << name;
        QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : window.data(),
                        Qt::Key_Escape);
        EXPECT_TRUE(waitFor([&] { return window.isNull() || !window->isVisible(); })) << name;
    }
}

} // namespace
